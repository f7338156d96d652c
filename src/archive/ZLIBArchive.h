#pragma once

#include "ZLBFormat.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>

class QFile;
class QIODevice;

namespace klv {

namespace zlb {
class CrcWorker;
}

using TZLBTrailer = zlb::TZLBTrailer;
using TZLBFileEntry = zlb::TZLBFileEntry;

using TReplaceFileEvent = std::function<void(const QString &Filename, bool &Replace)>;
using TFileExtractedEvent = std::function<void(const QString &filename)>;
using TErrorLogEvent = std::function<void(const QString &psMsg)>;
using TProgressEvent = std::function<void(const QString &psMsg, int32_t Percentage)>;
using TNotifyEvent = std::function<void(QObject *Sender)>;

// Reads .zlb archives: checks the archive CRC, loads the registry, hands out entries and
// extracts every file into a destination folder, asking before it replaces a file. Events are
// optional handlers, called synchronously from inside the operations. Errors are raised as
// klv::Exception with the English texts of ZLBMessages.h.
//
// Names from the registry are checked before anything is written for them: an entry whose name
// would leave the destination folder is refused as corrupt. Each file is written to a temporary
// file beside its target and moved over the target only when it is complete (and its CRC
// matches, with CheckCRC), so a failed entry never leaves a half-written target.
class TZLBArchive : public QObject
{
    Q_OBJECT
    Q_PROPERTY(TFileCompressionLevel CompressionLevel READ CompressionLevel WRITE setCompressionLevel)
    Q_PROPERTY(bool ExtractWithPath READ ExtractWithPath WRITE setExtractWithPath)
    Q_PROPERTY(bool CheckCRC READ CheckCRC WRITE setCheckCRC)
    Q_PROPERTY(bool SavePaths READ SavePaths WRITE setSavePaths)
    Q_PROPERTY(bool RecursePaths READ RecursePaths WRITE setRecursePaths)

public:
    enum TFileCompressionLevel : uint8_t
    {
        fcNone,
        fcFastest,
        fcDefault,
        fcMaximum
    };
    Q_ENUM(TFileCompressionLevel)

    explicit TZLBArchive(QObject *owner = nullptr);
    ~TZLBArchive() override;

    // Kept only; reading never uses it.
    TFileCompressionLevel CompressionLevel() const { return FCompressionLevel; }
    void setCompressionLevel(TFileCompressionLevel value) { FCompressionLevel = value; }
    bool ExtractWithPath() const { return FExtractWithPath; }
    void setExtractWithPath(bool value) { FExtractWithPath = value; }
    bool CheckCRC() const { return FCheckCRC; }
    void setCheckCRC(bool value) { FCheckCRC = value; }
    bool SavePaths() const { return FSavePaths; }
    void setSavePaths(bool value) { FSavePaths = value; }
    bool RecursePaths() const { return FRecursePaths; }
    void setRecursePaths(bool value) { FRecursePaths = value; }

    TReplaceFileEvent OnReplaceFile;
    TFileExtractedEvent OnFileExtracted;
    TNotifyEvent OnArchiveOpened;
    TFileExtractedEvent OnStreamExtracted; // never fired
    TErrorLogEvent OnErrorLogged;          // never fired: every error is raised
    TProgressEvent OnProgress;

    // False only for an empty name; raises on every failure.
    bool OpenArchive(const QString &name);
    void CloseArchive();
    int32_t GetFileCount() const;
    void GetFileEntry(int32_t index, TZLBFileEntry &entry) const;
    void ExtractArchive(const QString &dest);
    // CRC-32 of the stream from its start, leaving out `skip` bytes at its end.
    quint32 CalcStreamCRC(QIODevice &stream, int32_t skip) const;
    // A fresh, empty temporary file named "ZLB..." in the system's temporary folder.
    virtual void GetTempFile(QString &name);
    // Appends the files (and with SavePaths the folders) under `dir`, a folder's subfolders first.
    virtual void GetFileList(const QString &dir, QStringList &list);

    const QString &archiveName() const { return FArchiveName; }
    const TZLBTrailer &trailer() const { return FTrailer; }

private:
    enum class TProgressPhase : uint8_t
    {
        Registry,
        File,
        Idle
    };

    void openFile(QFile &file) const;
    void loadRegistry(QFile &file);
    void inflateRegistry(QFile &file, qint64 total);
    struct CrcHelpers;
    void extractEntry(QFile &archive, const QString &dest, int32_t index, CrcHelpers &helpers);
    void writeEntryData(QFile &archive, int32_t index, const TZLBFileEntry &entry, QIODevice &target,
                        CrcHelpers &helpers);
    void DoProgress();

    QString FArchiveName;
    TZLBTrailer FTrailer{};
    QList<TZLBFileEntry> FEntries;
    TFileCompressionLevel FCompressionLevel = fcDefault;
    bool FExtractWithPath = false;
    bool FRecursePaths = false;
    bool FSavePaths = false;
    bool FCheckCRC = false;
    TProgressPhase FProgressPhase = TProgressPhase::Idle;
    QString FProgressText;
    int32_t FProgressTotal = 0;
    int32_t FProgressDone = 0;
    bool FDestroying = false;
};

} // namespace klv
