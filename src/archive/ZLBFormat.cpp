#include "ZLBFormat.h"

#include "ZLBRangeCrc.h"

#include "platform/Ansi.h"
#include "platform/Exceptions.h"

#include <QFile>
#include <QIODevice>
#include <QList>
#include <algorithm>
#include <cstring>
#include <zlib.h>

namespace klv::zlb {

quint32 crc32(quint32 crc, const void *data, qsizetype length)
{
    // zlib takes a 32-bit length; feed larger blocks in pieces.
    const auto *bytes = static_cast<const Bytef *>(data);
    uLong value = crc;
    while (length > 0) {
        const uInt piece = static_cast<uInt>(std::min<qsizetype>(length, 1 << 30));
        value = ::crc32(value, bytes, piece);
        bytes += piece;
        length -= piece;
    }
    return static_cast<quint32>(value);
}

quint32 crc32(QByteArrayView bytes)
{
    return crc32(0, bytes.data(), bytes.size());
}

namespace {

constexpr qsizetype kCrcBlock = 256 * 1024;

quint32 sumInPlace(QIODevice &device, qint64 length)
{
    QByteArray buffer(static_cast<qsizetype>(std::min<qint64>(length, kCrcBlock)), Qt::Uninitialized);
    quint32 crc = 0;
    while (length > 0) {
        const qint64 got = device.read(buffer.data(), std::min<qint64>(length, buffer.size()));
        if (got <= 0)
            break;
        crc = crc32(crc, buffer.constData(), got);
        length -= got;
    }
    return crc;
}

// A large file is summed by two threads, each reading its own end.
quint32 sumOnTwoThreads(const QString &fileName, qint64 length)
{
    RangeCrc crc(fileName, kCrcBlock, {{0, length}});
    return crc.finish(0);
}

} // namespace

quint32 deviceCrc(QIODevice &device, qint64 skip)
{
    const qint64 position = device.pos();
    const qint64 length = device.size() - skip;
    quint32 crc = 0;
    if (length > 0 && device.seek(0)) {
        // Only a file opened for reading alone: one open for writing need not hold its bytes under its
        // name yet (a save file writes to another).
        const auto *file = qobject_cast<const QFile *>(&device);
        const bool readOnly = file && !file->fileName().isEmpty() && !(file->openMode() & QIODevice::WriteOnly);
        bool summed = false;
        if (readOnly && length > 4 * kCrcBlock && length <= RangeCrc::maxLength()) {
            try {
                crc = sumOnTwoThreads(file->fileName(), length);
                summed = true;
            } catch (const std::exception &) {
                // No second handle or thread, or the file changed under us: read it here alone.
            }
        }
        if (!summed)
            crc = sumInPlace(device, length);
    }
    device.seek(position);
    return crc;
}

QString decodeText(const TZLBText &text)
{
    // The length byte cannot reach past the field: at most 255 characters follow it.
    return ansi::decode(QByteArrayView(reinterpret_cast<const char *>(text.Chars), text.Length));
}

void encodeText(TZLBText &field, const QString &text)
{
    const QByteArray bytes = ansi::encode(text);
    if (bytes.size() > kMaxTextLength)
        throw Exception(QStringLiteral("Name longer than 255 characters: %1").arg(text));
    if (ansi::decode(bytes) != text)
        throw Exception(QStringLiteral("Name not representable in the Windows-1252 code page: %1").arg(text));
    std::memset(&field, 0, sizeof field);
    field.Length = static_cast<uint8_t>(bytes.size());
    std::memcpy(field.Chars, bytes.constData(), static_cast<size_t>(bytes.size()));
}

namespace {

bool hasForbiddenChar(const QString &text)
{
    // Control characters cut or confuse names at the file layer; a colon is a drive or a stream.
    return std::any_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x20 || c == u':'; });
}

// Components made of dots and blanks only: Windows drops trailing dots and blanks, so ".. " is "..".
bool isDotComponent(QStringView part)
{
    return !part.isEmpty() && std::all_of(part.begin(), part.end(), [](QChar c) { return c == u'.' || c == u' '; });
}

} // namespace

bool isSafeFileName(const QString &name)
{
    return !name.isEmpty() && !hasForbiddenChar(name) && !name.contains(u'\\') && !name.contains(u'/') &&
           !isDotComponent(name);
}

bool isSafeFilePath(const QString &path)
{
    if (path.isEmpty())
        return true;
    if (hasForbiddenChar(path) || path.startsWith(u'\\') || path.startsWith(u'/'))
        return false;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != u'\\' && path[i] != u'/')
            continue;
        const QStringView part = QStringView(path).sliced(start, i - start);
        if (isDotComponent(part) && part.count(u'.') >= 2)
            return false;
        start = i + 1;
    }
    return true;
}

} // namespace klv::zlb
