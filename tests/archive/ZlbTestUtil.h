#pragma once

#include "archive/ZLBFormat.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

class QObject;
namespace klv {
class TZLBArchive;
}

// Archives for the tests are made by the writer; damaged and hostile ones by editing its output.
namespace zlbtest {

struct Item
{
    QString name;
    QByteArray content;
    QString path = {};
    bool stored = false;
};

// Writes an archive of the items and returns its bytes.
QByteArray makeArchive(const QString &file, const QList<Item> &items, bool compressRegistry = false, int level = -1);

// Offsets inside an archive with a raw registry.
qsizetype trailerAt(const QByteArray &archive);
qsizetype entryAt(const QByteArray &archive, int index);
klv::zlb::TZLBFileEntry entry(const QByteArray &archive, int index);

void putInt32(QByteArray &bytes, qsizetype at, qint32 value);
// Writes a length-prefixed text at `at` without any check of the name.
void putText(QByteArray &bytes, qsizetype at, const QByteArray &text);
// Sets the archive CRC to match the bytes before the trailer.
void fixCrc(QByteArray &archive);

// Every file and folder below `root`, relative, sorted.
QStringList tree(const QString &root);

// Records the component's events as text lines.
struct Recorder
{
    QStringList events;
    void attach(klv::TZLBArchive &archive);
};

// Mixed content that compresses to some degree.
QByteArray sample(qsizetype size, quint32 seed);

} // namespace zlbtest
