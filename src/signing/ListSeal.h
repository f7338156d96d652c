#pragma once

#include <QByteArray>
#include <QDate>
#include <QList>
#include <QString>

#include <cstdint>
#include <optional>

// The two sections that a signed package list carries besides those older updaters read:
//   [SHA256]  one line per file the list makes the updater fetch:
//             <server path below the base, without leading '/'>=<SHA-256 in hex> <length>
//   [SIGNED]  list=<the list's own file name, as the updater asks for it>
//             serial=<a number that only grows>  expires=<yyyy-MM-dd, the last valid day>
// Older updaters ignore sections they do not know, so a signed list works for them as before.
namespace klv::signing {

struct FileDigest
{
    QString path;
    QByteArray sha256; // 32 bytes
    int64_t length = 0;
};

struct ListSeal
{
    QList<FileDigest> files;
    // The file name the list was signed for; empty in lists signed before names were signed.
    QString list;
    uint64_t serial = 0;
    QDate expires;

    // The line for a server path; paths match without regard to case, as the list's keys do.
    const FileDigest *find(const QString &path) const;
};

// The seal of a list, or the reason (Dutch, to follow "geweigerd: ") why the list has none that
// can be read. Every line of both sections must be well-formed: a list that was signed is read
// strictly, since a line we skipped could be one the maker meant.
struct SealReading
{
    std::optional<ListSeal> seal;
    QString problem;
};
SealReading readSeal(QByteArrayView list);

// The list with its [SHA256] and [SIGNED] sections replaced by those of `seal`, at its end, in
// the list's own CR LF lines. Everything else stays byte for byte.
QByteArray withSeal(QByteArrayView list, const ListSeal &seal);

constexpr char kDigestSection[] = "SHA256";
// The largest list the maker's tool writes and an updater fetches.
constexpr qint64 kMaxListSize = 16 * 1024 * 1024;
// How far ahead a signature may hold. A server that keeps sending the last accepted list holds an
// installation back at most this long; a maker who signs weekly can still miss a month.
constexpr int kMaxValidDays = 42;
// What the updater allows beyond that for a customer's clock that runs behind.
constexpr int kClockSlackDays = 7;
constexpr char kSignedSection[] = "SIGNED";

} // namespace klv::signing
