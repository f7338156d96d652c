#pragma once

#include "ZLBFormat.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <memory>

class QIODevice;
class QSaveFile;

namespace klv {

// Writes .zlb archives that TZLBArchive reads: the data of each file as it is added (stored or
// as one zlib stream), then the registry (raw or as one zlib stream), then the trailer with the
// CRC of everything before it. The archive file appears only when finish() succeeds.
// Errors are raised as klv::Exception.
class ZLBWriter
{
public:
    explicit ZLBWriter(const QString &archivePath);
    ~ZLBWriter();
    ZLBWriter(const ZLBWriter &) = delete;
    ZLBWriter &operator=(const ZLBWriter &) = delete;

    // zlib level, -1 (zlib's default) or 0 to 9; used for compressed entries and the registry.
    void setLevel(int level);
    void setCompressRegistry(bool compress) { FCompressRegistry = compress; }

    // `fileName` is one plain name; `filePath` the folder below the destination with '\'
    // separators, or empty. Names the reader would refuse are refused here too.
    void addFile(const QString &sourcePath, const QString &fileName, const QString &filePath = {}, bool stored = false);
    void addData(const QByteArray &content, const QString &fileName, const QString &filePath = {}, bool stored = false);
    void finish();

    qsizetype count() const { return FEntries.size(); }

private:
    void addFrom(QIODevice &source, qint64 size, const QString &fileName, const QString &filePath, bool stored);
    void deflateFrom(QIODevice &source, qint64 size, quint32 &crc);
    void put(const char *data, qint64 length);

    QString FPath;
    std::unique_ptr<QSaveFile> FFile;
    QList<zlb::TZLBFileEntry> FEntries;
    int FLevel = -1;
    bool FCompressRegistry = false;
    bool FFinished = false;
    qint64 FPosition = 0;
    quint32 FArchiveCrc = 0;
};

} // namespace klv
