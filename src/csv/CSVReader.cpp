#include "CSVReader.h"

#include "platform/Ansi.h"
#include "platform/Dialogs.h"
#include "platform/Folders.h"

#include <QFile>
#include <limits>

namespace klv {

namespace {
constexpr qint64 kChunk = 64 * 1024;

EInOutError notOpen()
{
    return EInOutError(QStringLiteral("File not open"));
}

bool blank(QByteArrayView line)
{
    for (char c : line)
        if (static_cast<unsigned char>(c) > ' ')
            return false;
    return true;
}
} // namespace

TCSVReader::TCSVReader(Dialogs &dialogs, QObject *owner) : QObject(owner), FDialogs(dialogs) {}

TCSVReader::~TCSVReader() = default;

bool TCSVReader::isOpen() const
{
    return FFile && FFile->isOpen();
}

bool TCSVReader::fileAtEnd() const
{
    return FPos >= FBuffer.size() && FFile->atEnd();
}

// Blank lines at the end of the file are not handed out: a blank current line ends the reading
// when nothing but blanks and line ends follows it.
bool TCSVReader::Eof() const
{
    return !isOpen() || (blank(FCurrentLine) && restIsBlank());
}

bool TCSVReader::restIsBlank() const
{
    qsizetype scanned = 0; // counted from FPos, which fill() may move
    for (;;) {
        for (; FPos + scanned < FBuffer.size(); ++scanned)
            if (static_cast<unsigned char>(FBuffer[FPos + scanned]) > ' ')
                return false;
        if (!fill())
            return true;
    }
}

// Appends the next chunk of the file to what is not consumed yet; false at the end of the file.
bool TCSVReader::fill() const
{
    FBuffer.remove(0, FPos);
    FPos = 0;
    const qsizetype kept = FBuffer.size();
    FBuffer.resize(kept + kChunk);
    const qint64 got = FFile->read(FBuffer.data() + kept, kChunk);
    FBuffer.resize(kept + std::max<qint64>(got, 0));
    if (got < 0)
        throw EInOutError(QStringLiteral("Read error in \"%1\": %2").arg(FCSVFile, FFile->errorString()));
    return got > 0;
}

// One line without its end: CR LF, LF and a lone CR each end a line; a last line without an end
// is a line as well.
QByteArray TCSVReader::readRawLine()
{
    QByteArray line;
    for (;;) {
        if (FPos >= FBuffer.size() && !fill())
            return line;
        const char *begin = FBuffer.constData() + FPos;
        const qsizetype rest = FBuffer.size() - FPos;
        qsizetype end = 0;
        while (end < rest && begin[end] != '\r' && begin[end] != '\n')
            ++end;
        line.append(begin, end);
        FPos += end;
        if (end == rest)
            continue;
        const char terminator = FBuffer[FPos++];
        if (terminator == '\r' && (FPos < FBuffer.size() || fill()) && FBuffer[FPos] == '\n')
            ++FPos;
        return line;
    }
}

void TCSVReader::split()
{
    const QByteArrayView line(FCurrentLine);
    if (FDelimiter == ' ') {
        // Each separator ends a field; a last field that is empty is no field.
        qsizetype from = 0;
        for (qsizetype i = 0; i < line.size(); ++i)
            if (line[i] == FSeparator) {
                FFields.append(ansi::decode(line.sliced(from, i - from)));
                from = i + 1;
            }
        if (from < line.size())
            FFields.append(ansi::decode(line.sliced(from)));
        return;
    }
    QByteArray field;
    const auto add = [&] {
        FFields.append(ansi::decode(field));
        field.truncate(0);
    };
    bool inside = false;
    for (char c : line) {
        if (c == FDelimiter) {
            inside = !inside;
            if (inside)
                field.truncate(0);
            else
                add();
        } else if (inside) {
            field.append(c);
        }
    }
    if (!field.isEmpty())
        add();
}

void TCSVReader::ReadLine()
{
    if (!isOpen())
        throw notOpen();
    FFields.clear();
    FCurrentLine = fileAtEnd() ? QByteArray() : readRawLine();
    split();
    while (FFields.size() < FNoOfFields)
        FFields.append(QStringLiteral("")); // an empty text, not a null one
}

// One more than the separators outside delimited parts of the current line. A reader without a
// delimiter always has one field to begin with: the callers read its fields by position.
int16_t TCSVReader::countFields() const
{
    if (FDelimiter == ' ')
        return 1;
    qsizetype count = 1;
    bool inside = false;
    for (char c : FCurrentLine) {
        if (c == FDelimiter)
            inside = !inside;
        else if (c == FSeparator && !inside)
            ++count;
    }
    return static_cast<int16_t>(std::min<qsizetype>(count, std::numeric_limits<int16_t>::max()));
}

void TCSVReader::Open()
{
    FFile.reset();
    FBuffer.clear();
    FPos = 0;
    FCurrentLine.clear();
    FFields.clear();
    try {
        auto file = std::make_unique<QFile>(Folders::resolve(FCSVFile));
        if (FCSVFile.isEmpty() || !file->open(QIODevice::ReadOnly))
            throw EInOutError(QStringLiteral("File not found"));
        FFile = std::move(file);
        if (!fileAtEnd())
            ReadLine();
        if (FNoOfFields == 0)
            FNoOfFields = countFields();
    } catch (const Exception &) {
        FFile.reset();
        FBuffer.clear();
        FPos = 0;
        FDialogs.error(QStringLiteral("File ") + FCSVFile + QStringLiteral(" not found!"));
    }
}

QString TCSVReader::GetField(int index) const
{
    if (index < 0 || index >= FFields.size())
        throw EStringListError(QStringLiteral("List index out of bounds (%1)").arg(index));
    return FFields[index];
}

void TCSVReader::Close()
{
    if (!isOpen())
        throw notOpen();
    FFile.reset();
    FBuffer.clear();
    FPos = 0;
}

} // namespace klv
