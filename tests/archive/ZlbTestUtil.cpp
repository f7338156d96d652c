#include "ZlbTestUtil.h"

#include "archive/ZLBWriter.h"
#include "archive/ZLIBArchive.h"

#include <QDirIterator>
#include <QRandomGenerator>
#include <QtEndian>
#include <cstring>

namespace zlbtest {

QByteArray makeArchive(const QString &file, const QList<Item> &items, bool compressRegistry, int level)
{
    klv::ZLBWriter writer(file);
    writer.setCompressRegistry(compressRegistry);
    writer.setLevel(level);
    for (const Item &item : items)
        writer.addData(item.content, item.name, item.path, item.stored);
    writer.finish();
    QFile in(file);
    in.open(QIODevice::ReadOnly);
    return in.readAll();
}

qsizetype trailerAt(const QByteArray &archive)
{
    return archive.size() - klv::zlb::kTrailerSize;
}

qsizetype entryAt(const QByteArray &archive, int index)
{
    const qint32 registry = qFromLittleEndian<qint32>(archive.constData() + trailerAt(archive) + 16);
    return registry + qsizetype(index) * klv::zlb::kEntrySize;
}

klv::zlb::TZLBFileEntry entry(const QByteArray &archive, int index)
{
    klv::zlb::TZLBFileEntry result;
    std::memcpy(&result, archive.constData() + entryAt(archive, index), sizeof result);
    return result;
}

void putInt32(QByteArray &bytes, qsizetype at, qint32 value)
{
    qToLittleEndian<qint32>(value, bytes.data() + at);
}

void putText(QByteArray &bytes, qsizetype at, const QByteArray &text)
{
    bytes[at] = char(text.size());
    std::memcpy(bytes.data() + at + 1, text.constData(), size_t(text.size()));
}

void fixCrc(QByteArray &archive)
{
    const qsizetype at = trailerAt(archive);
    qToLittleEndian<quint32>(klv::zlb::crc32(QByteArrayView(archive).first(at)), archive.data() + at);
}

QStringList tree(const QString &root)
{
    QStringList out;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    const QDir base(root);
    while (it.hasNext())
        out << base.relativeFilePath(it.next());
    out.sort();
    return out;
}

void Recorder::attach(klv::TZLBArchive &archive)
{
    archive.OnProgress = [this](const QString &msg, int32_t pct) {
        events << QString("progress %1 %2").arg(msg).arg(pct);
    };
    archive.OnArchiveOpened = [this, &archive](QObject *sender) {
        events << (sender == &archive ? "opened" : "opened by a stranger");
    };
    archive.OnFileExtracted = [this](const QString &name) { events << "extracted " + name; };
}

QByteArray sample(qsizetype size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray out;
    out.reserve(size);
    while (out.size() < size) {
        // Runs of words, zeros and noise.
        switch (random.bounded(3)) {
        case 0:
            out += QByteArray("record ").append(QByteArray::number(random.bounded(100000))).append(";\r\n");
            break;
        case 1:
            out += QByteArray(random.bounded(1, 200), '\0');
            break;
        default:
            for (int i = 0; i < 64; ++i)
                out += char(random.bounded(256));
        }
    }
    out.truncate(size);
    return out;
}

} // namespace zlbtest
