#include "FileVersionInfo.h"

#include "VerInfoX.h"
#include "platform/Folders.h"

#include <QFile>

#ifdef _WIN32
#include <QDir>
#include <windows.h>

#include <winver.h>
#endif

namespace klv::verinfo {

namespace {

// Executables larger than this are not read into memory when they cannot be mapped.
constexpr qint64 kMaxUnmappedImage = 256 * 1024 * 1024;

// The whole file as bytes: mapped when possible, read otherwise.
class ImageFile
{
public:
    explicit ImageFile(const QString &fileName) : FFile(Folders::resolve(fileName))
    {
        if (!FFile.open(QIODevice::ReadOnly))
            return;
        const qint64 size = FFile.size();
        if (size <= 0)
            return;
        if (const uchar *mapped = FFile.map(0, size)) {
            FImage = QByteArrayView(mapped, size);
        } else if (size <= kMaxUnmappedImage) {
            FBytes = FFile.readAll();
            FImage = FBytes;
        }
    }
    QByteArrayView resource() const { return findVersionResource(FImage); }

private:
    QFile FFile;
    QByteArray FBytes;
    QByteArrayView FImage;
};

} // namespace

#ifdef _WIN32

// The Win32 functions copy the resource by the lengths the file states, so a damaged file can
// make them read past its end (seen as a crash inside GetFileVersionInfoA). A file reaches them
// only when the bounds-checked reader finds its version resource whole.

namespace {
QByteArray ansiName(const QString &fileName)
{
    return QDir::toNativeSeparators(fileName).toLocal8Bit();
}

bool resourceIsWhole(const QString &fileName)
{
    const ImageFile file(fileName);
    return infoBlockSize(file.resource()) > 0;
}
} // namespace

quint32 getFileVersionInfoSize(const QString &fileName, quint32 *handle)
{
    DWORD h = 0;
    const DWORD size = resourceIsWhole(fileName) ? GetFileVersionInfoSizeA(ansiName(fileName).constData(), &h) : 0;
    if (handle)
        *handle = h;
    return size;
}

bool getFileVersionInfo(const QString &fileName, quint32 handle, quint32 size, void *data)
{
    return resourceIsWhole(fileName) &&
           GetFileVersionInfoA(ansiName(fileName).constData(), handle, size, data) != FALSE;
}

bool verQueryValue(const void *block, const QString &subBlock, const void **buffer, quint32 *length)
{
    LPVOID found = nullptr;
    UINT count = 0;
    if (!VerQueryValueA(block, subBlock.toLocal8Bit().constData(), &found, &count))
        return false;
    *buffer = found;
    *length = count;
    return true;
}

#else

quint32 getFileVersionInfoSize(const QString &fileName, quint32 *handle)
{
    if (handle)
        *handle = 0;
    const ImageFile file(fileName);
    return quint32(infoBlockSize(file.resource()));
}

bool getFileVersionInfo(const QString &fileName, quint32 /*handle*/, quint32 size, void *data)
{
    const ImageFile file(fileName);
    return buildInfoBlock(file.resource(), static_cast<char *>(data), qsizetype(size));
}

bool verQueryValue(const void *block, const QString &subBlock, const void **buffer, quint32 *length)
{
    QByteArrayView value;
    if (!queryInfoBlock(infoBlockView(block), subBlock, value))
        return false;
    *buffer = value.data();
    *length = quint32(value.size());
    return true;
}

#endif

} // namespace klv::verinfo
