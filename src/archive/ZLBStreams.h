#pragma once

#include "ZLBFormat.h"

#include <QByteArray>
#include <memory>

class QIODevice;
struct z_stream_s;

namespace klv::zlb {

// Inflates one zlib stream that begins at a position of a device. Input is read in large blocks;
// the compressed length is never needed. Errors are raised as klv::Exception with a short
// description, which the callers replace with the message of their own operation.
class Inflater
{
public:
    Inflater(QIODevice &source, qint64 offset);
    ~Inflater();
    Inflater(const Inflater &) = delete;
    Inflater &operator=(const Inflater &) = delete;

    // Fills `out` with up to `length` bytes; fewer only where the stream ends.
    qsizetype read(char *out, qsizetype length);

private:
    struct StreamEnd
    {
        void operator()(z_stream_s *stream) const;
    };
    QIODevice &FSource;
    std::unique_ptr<z_stream_s, StreamEnd> FStream;
    QByteArray FInput;
    bool FEnded = false;
    bool FSourceEmpty = false;
};

// The content of one registry entry, stored or inflated, read piece by piece. Data that ends
// before `Size` bytes, or that lies outside the archive, is an error.
class EntryReader
{
public:
    EntryReader(QIODevice &archive, const TZLBFileEntry &entry);
    ~EntryReader();
    EntryReader(const EntryReader &) = delete;
    EntryReader &operator=(const EntryReader &) = delete;

    qint64 remaining() const { return FRemaining; }
    // Reads exactly `length` content bytes; `length` must not exceed remaining().
    void read(char *out, qsizetype length);

private:
    QIODevice &FArchive;
    std::unique_ptr<Inflater> FInflater;
    qint64 FRemaining;
};

} // namespace klv::zlb
