#include "ZLIBArchive.h"

#include "ZLBCrcWorker.h"
#include "ZLBMessages.h"
#include "ZLBRangeCrc.h"
#include "ZLBStreams.h"

#include "platform/Exceptions.h"
#include "platform/FileOps.h"
#include "platform/Folders.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <cmath>
#include <cstring>
#include <limits>

namespace klv {

namespace {
// A write to the extracted file that failed: the disk, not the archive, is at fault.
class TargetWriteError : public EInOutError
{
public:
    using EInOutError::EInOutError;
};

// Progress is reported per 4096 content bytes; the I/O itself goes in larger blocks.
constexpr qsizetype kProgressStep = 4096;
constexpr qsizetype kIoBlock = 64 * kProgressStep;
// A deflate stream expands at most 1032 to 1, which bounds what a registry can claim.
constexpr qint64 kMaxInflateRatio = 1032;

int32_t percentage(int32_t done, int32_t total)
{
    // The default rounding mode rounds a half to the even neighbour.
    return static_cast<int32_t>(std::nearbyint(static_cast<double>(done) / static_cast<double>(total) * 100.0));
}

// Runs of backslashes become one, and a final backslash goes.
QString foldBackslashes(QString dir)
{
    while (dir.contains(u"\\\\"))
        dir.replace(QStringLiteral("\\\\"), QStringLiteral("\\"));
    if (dir.endsWith(u'\\'))
        dir.chop(1);
    return dir;
}

bool isInside(const QString &target, const QString &root)
{
    const QString cleanRoot = QDir::cleanPath(QFileInfo(root).absoluteFilePath());
    const QString cleanTarget = QDir::cleanPath(QFileInfo(target).absoluteFilePath());
    return cleanTarget.startsWith(cleanRoot.endsWith(u'/') ? cleanRoot : cleanRoot + u'/');
}

} // namespace

// The threads that take entry CRCs beside the copy. Stored entries are summed straight from the
// archive by a worker that runs through all of them from the start; inflated entries are summed
// from their blocks by a worker started with the first that needs it. Both stop (join) when the
// extraction ends. Without a thread to be had, the CRC is taken on the calling thread instead.
struct TZLBArchive::CrcHelpers
{
    std::unique_ptr<zlb::CrcWorker> blocks;
    std::unique_ptr<zlb::RangeCrc> ranges;
    QList<qsizetype> rangeOf; // entry index -> range index, -1 for none

    CrcHelpers(QFile &archive, const QList<TZLBFileEntry> &entries, bool checkCrc)
    {
        if (!checkCrc)
            return;
        QList<zlb::RangeCrc::Range> list;
        rangeOf.fill(-1, entries.size());
        for (qsizetype i = 0; i < entries.size(); ++i) {
            const TZLBFileEntry &entry = entries[i];
            const qint64 offset = entry.Offset;
            const qint64 size = entry.Size;
            // Only data that lies inside the archive; the copy reports the rest as corrupt.
            if (entry.Stored != 0 && size > kIoBlock && offset >= 0 && offset + size <= archive.size()) {
                rangeOf[i] = list.size();
                list.append({offset, size});
            }
        }
        if (list.isEmpty())
            return;
        try {
            ranges = std::make_unique<zlb::RangeCrc>(archive.fileName(), kIoBlock, list);
        } catch (const std::exception &) {
            rangeOf.fill(-1);
        }
    }

    // The range of a stored entry's data, or -1 when it is summed some other way.
    qsizetype rangeCrc(int32_t index) const { return ranges ? rangeOf.value(index, -1) : -1; }

    zlb::CrcWorker *crcWorker()
    {
        if (!blocks) {
            try {
                blocks = std::make_unique<zlb::CrcWorker>(kIoBlock);
            } catch (const std::exception &) {
                return nullptr;
            }
        }
        return blocks.get();
    }
};

TZLBArchive::TZLBArchive(QObject *owner) : QObject(owner) {}

TZLBArchive::~TZLBArchive()
{
    FDestroying = true;
    if (!FArchiveName.isEmpty())
        CloseArchive();
}

void TZLBArchive::openFile(QFile &file) const
{
    file.setFileName(Folders::resolve(FArchiveName));
    if (!QFileInfo(file.fileName()).isFile() || !file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        throw Exception(zlb::msg::unableToOpen(FArchiveName));
}

bool TZLBArchive::OpenArchive(const QString &name)
{
    CloseArchive();
    FArchiveName = name;
    if (name.isEmpty()) {
        FArchiveName.clear();
        return false;
    }
    if (!QFileInfo::exists(Folders::resolve(name)))
        throw Exception(zlb::msg::archiveNotFound());

    QFile file;
    openFile(file);
    const qint64 size = file.size();
    const quint32 crc = CalcStreamCRC(file, zlb::kTrailerSize);
    TZLBTrailer trailer{};
    const bool haveTrailer = size >= zlb::kTrailerSize && file.seek(size - zlb::kTrailerSize) &&
                             file.read(reinterpret_cast<char *>(&trailer), zlb::kTrailerSize) == zlb::kTrailerSize;
    if (!haveTrailer || crc != trailer.ArchiveCRC) {
        FArchiveName.clear();
        FTrailer = {};
        throw Exception(zlb::msg::archiveCorrupted());
    }
    FTrailer = trailer;

    try {
        loadRegistry(file);
        if (OnArchiveOpened)
            OnArchiveOpened(this);
    } catch (...) {
        CloseArchive();
        throw Exception(zlb::msg::unableToReadList());
    }
    file.close();
    FProgressPhase = TProgressPhase::Idle;
    DoProgress();
    return true;
}

void TZLBArchive::loadRegistry(QFile &file)
{
    const int32_t count = FTrailer.FileCount;
    if (count <= 0)
        return;
    const qint64 size = file.size();
    const qint64 offset = FTrailer.RegistryOffset;
    const qint64 total = static_cast<qint64>(count) * zlb::kEntrySize;
    if (offset < 0 || offset > size)
        throw Exception(QStringLiteral("Registry outside the archive"));

    QByteArray registry;
    if (FTrailer.RegistryCompressed == 0) {
        if (offset + total > size || !file.seek(offset))
            throw Exception(QStringLiteral("Registry reaches past the end of the archive"));
        registry = file.read(total);
        if (registry.size() != total)
            throw Exception(QStringLiteral("Registry cut short"));
    } else {
        if (total > std::numeric_limits<int32_t>::max() || total > (size - offset) * kMaxInflateRatio)
            throw Exception(QStringLiteral("Registry larger than its stream can hold"));
        zlb::Inflater inflater(file, offset);
        FProgressPhase = TProgressPhase::Registry;
        FProgressTotal = static_cast<int32_t>(total);
        FProgressDone = 0;
        FProgressText = zlb::msg::extractingRegistry();
        char chunk[kProgressStep];
        while (registry.size() < total) {
            const qsizetype want = std::min<qint64>(kProgressStep, total - registry.size());
            const qsizetype got = inflater.read(chunk, want);
            if (got != want)
                throw Exception(QStringLiteral("Registry stream ends early"));
            FProgressDone += static_cast<int32_t>(got);
            DoProgress();
            registry.append(chunk, got);
        }
    }
    FEntries.reserve(count);
    for (int32_t i = 0; i < count; ++i) {
        TZLBFileEntry entry;
        std::memcpy(&entry, registry.constData() + static_cast<qint64>(i) * zlb::kEntrySize, zlb::kEntrySize);
        FEntries.append(entry);
    }
}

void TZLBArchive::CloseArchive()
{
    FEntries.clear();
    FTrailer = {};
    FArchiveName.clear();
    FProgressPhase = TProgressPhase::Idle;
    DoProgress();
}

int32_t TZLBArchive::GetFileCount() const
{
    if (FArchiveName.isEmpty())
        throw Exception(zlb::msg::noArchiveOpen());
    return static_cast<int32_t>(FEntries.size());
}

void TZLBArchive::GetFileEntry(int32_t index, TZLBFileEntry &entry) const
{
    if (index < 0 || index >= FEntries.size())
        throw Exception(zlb::msg::indexOutOfBounds());
    entry = FEntries[index];
}

void TZLBArchive::ExtractArchive(const QString &dest)
{
    if (FArchiveName.isEmpty())
        throw Exception(zlb::msg::noArchiveOpen());
    QFile file;
    openFile(file);
    // Closing the archive and the final progress event happen on success and failure alike.
    const auto finish = [&] {
        file.close();
        FProgressPhase = TProgressPhase::Idle;
        DoProgress();
    };
    try {
        const int32_t count = GetFileCount();
        CrcHelpers helpers(file, FEntries, FCheckCRC);
        for (int32_t i = 0; i < count; ++i)
            extractEntry(file, dest, i, helpers);
    } catch (...) {
        finish();
        throw;
    }
    finish();
}

void TZLBArchive::extractEntry(QFile &archive, const QString &dest, int32_t index, CrcHelpers &helpers)
{
    TZLBFileEntry entry;
    GetFileEntry(index, entry);
    const QString fileName = zlb::decodeText(entry.FileName);
    const QString filePath = FExtractWithPath ? zlb::decodeText(entry.FilePath) : QString();
    // Names that would leave the destination are refused before anything is written.
    if (!zlb::isSafeFileName(fileName) || !zlb::isSafeFilePath(filePath))
        throw Exception(zlb::msg::fileCorrupt(index));

    QString dir = dest;
    if (!filePath.isEmpty()) {
        // Joined as text; a separator is put in only where the destination lacks one, so that
        // "C:\Klv" + "sub" stays below C:\Klv instead of becoming a sibling "C:\Klvsub".
        if (!dir.isEmpty() && !dir.endsWith(u'\\') && !dir.endsWith(u'/'))
            dir += u'\\';
        dir += filePath;
    }
    dir = foldBackslashes(dir);
    if (dir.isEmpty())
        throw EInOutError(zlb::msg::cannotCreateDir());
    const QString nativeDir = Folders::resolve(dir);
    const QString root = foldBackslashes(dest);
    if (!isInside(nativeDir + QStringLiteral("/x"), root.isEmpty() ? QStringLiteral(".") : Folders::resolve(root)))
        throw Exception(zlb::msg::fileCorrupt(index));
    QDir().mkpath(nativeDir);
    if (!QFileInfo(nativeDir).isDir())
        throw Exception(zlb::msg::unableToCreatePath());

    const QString target = dir + u'\\' + fileName;
    const QString nativeTarget = Folders::resolve(target);
    const QFileInfo targetInfo(nativeTarget);
    bool replace = true;
    if (targetInfo.exists() && OnReplaceFile) {
        replace = false;
        OnReplaceFile(QDir::toNativeSeparators(QDir::cleanPath(Folders::nativePath(target))), replace);
    }
    if (!replace)
        return;

    // Written beside the target and moved over it only when complete.
    QString written;
    {
        QTemporaryFile temp(nativeDir + QStringLiteral("/ZLBXXXXXX.tmp"));
        if (!temp.open())
            throw EInOutError(zlb::msg::cannotCreateFile(nativeTarget, temp.errorString()));
        try {
            writeEntryData(archive, index, entry, temp, helpers);
            if (!temp.flush() || temp.error() != QFileDevice::NoError)
                throw TargetWriteError(temp.errorString());
        } catch (const TargetWriteError &e) {
            throw EInOutError(zlb::msg::cannotCreateFile(nativeTarget, writeFailureReason(nativeTarget, e.message())),
                              volumeFull(nativeTarget));
        } catch (...) {
            throw Exception(zlb::msg::fileCorrupt(index));
        }
        temp.setPermissions(targetInfo.exists() ? targetInfo.permissions()
                                                : QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser |
                                                      QFile::WriteUser | QFile::ReadGroup | QFile::ReadOther);
        written = temp.fileName();
        temp.setAutoRemove(false);
    } // a temporary file stays open until it is destroyed, and Windows moves no open file
    if (const QString error = replaceFile(written, nativeTarget); !error.isEmpty()) {
        QFile::remove(written);
        throw EInOutError(zlb::msg::cannotCreateFile(nativeTarget, error));
    }

    if (OnFileExtracted)
        OnFileExtracted(dest + fileName);
}

void TZLBArchive::writeEntryData(QFile &archive, int32_t index, const TZLBFileEntry &entry, QIODevice &target,
                                 CrcHelpers &helpers)
{
    FProgressPhase = TProgressPhase::File;
    FProgressTotal = entry.Size;
    FProgressDone = 0;
    FProgressText = zlb::msg::extracting(zlb::decodeText(entry.FileName));
    zlb::EntryReader reader(archive, entry);
    // An entry of more than one block has its CRC taken on a second thread while it is copied, so
    // that CheckCRC costs little more time than the copy itself. Stored data is summed straight
    // from the archive; inflated data is summed from the blocks as they go to the file.
    const bool overlap = FCheckCRC && reader.remaining() > kIoBlock;
    const qsizetype range = overlap ? helpers.rangeCrc(index) : -1;
    zlb::CrcWorker *worker = overlap && range < 0 ? helpers.crcWorker() : nullptr;
    QByteArray local;
    if (!worker)
        local = QByteArray(static_cast<qsizetype>(std::min<qint64>(kIoBlock, reader.remaining())), Qt::Uninitialized);
    else
        worker->take(); // a clean sum to start from
    const bool sumHere = FCheckCRC && !worker && range < 0;
    quint32 crc = 0;
    while (reader.remaining() > 0) {
        const qsizetype length = static_cast<qsizetype>(std::min<qint64>(reader.remaining(), kIoBlock));
        char *block = worker ? worker->nextBuffer() : local.data();
        reader.read(block, length);
        // The block is a whole number of progress steps, so the steps fall where 4096-byte chunks would.
        for (qsizetype step = 0; step < length; step += kProgressStep) {
            FProgressDone += static_cast<int32_t>(std::min(kProgressStep, length - step));
            DoProgress();
        }
        if (worker)
            worker->add(length);
        else if (sumHere)
            crc = zlb::crc32(crc, block, length);
        if (target.write(block, length) != length)
            throw TargetWriteError(target.errorString());
    }
    if (worker)
        crc = worker->take();
    else if (range >= 0)
        crc = helpers.ranges->finish(range);
    if (FCheckCRC && crc != entry.CRC)
        throw Exception(QStringLiteral("CRC differs"));
}

quint32 TZLBArchive::CalcStreamCRC(QIODevice &stream, int32_t skip) const
{
    return zlb::deviceCrc(stream, skip);
}

void TZLBArchive::GetTempFile(QString &name)
{
    QTemporaryFile temp(QDir::tempPath() + QStringLiteral("/ZLBXXXXXX.tmp"));
    temp.setAutoRemove(false);
    if (!temp.open())
        throw EInOutError(zlb::msg::cannotCreateFile(temp.fileTemplate(), temp.errorString()));
    name = QDir::toNativeSeparators(temp.fileName());
}

void TZLBArchive::GetFileList(const QString &dir, QStringList &list)
{
    QString base = dir;
    if (base.endsWith(u'\\'))
        base.chop(1);
    QStringList found;
    QDirIterator it(Folders::resolve(base + u'\\'),
                    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        const QFileInfo info = it.nextFileInfo();
        const QString item = base + u'\\' + info.fileName();
        if (!info.isDir()) {
            found << item;
            continue;
        }
        // A linked folder is listed but not walked, so a link cycle cannot recurse forever.
        if (FRecursePaths && !info.isSymLink())
            GetFileList(item, list);
        if (FSavePaths)
            found << item;
    }
    list += found;
}

void TZLBArchive::DoProgress()
{
    if (FDestroying || !OnProgress)
        return;
    if (FProgressPhase == TProgressPhase::Idle)
        OnProgress(FArchiveName, 0);
    else
        OnProgress(FProgressText, percentage(FProgressDone, FProgressTotal));
}

} // namespace klv
