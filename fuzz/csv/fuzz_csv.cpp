// Feeds arbitrary bytes to the CSV reader as a file. The first three bytes choose the settings:
// splitting by separator or by delimiter, the separator or delimiter byte, and a preset field
// count. Every line handed out must hold at least that many fields, no line end inside a field,
// GetField must refuse the index past the fields, and the reading must end.
#include "csv/CSVReader.h"
#include "platform/Dialogs.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <cstdint>
#include <cstdlib>

namespace {

class SilentDialogs : public klv::Dialogs
{
public:
    void message(Kind, const QString &) override {}
    bool confirm(const QString &) override { return false; }
    QString openFile(const QString &, const QString &) override { return QString(); }
};

// In memory where the system offers it: the file is rewritten for every input.
QString scratchFile()
{
    const QString dir = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    return dir + QStringLiteral("/fuzz_csv_%1.csv").arg(QCoreApplication::applicationPid());
}

// Removed again when the fuzzer exits.
struct ScratchFile
{
    const QString path = scratchFile();
    ~ScratchFile() { QFile::remove(path); }
};

void check(const klv::TCSVReader &reader, int minFields, qsizetype lineBytes)
{
    const QStringList &fields = reader.fields();
    if (fields.size() < minFields)
        std::abort();
    qsizetype chars = 0;
    for (qsizetype i = 0; i < fields.size(); ++i) {
        if (fields[i].contains(u'\r') || fields[i].contains(u'\n'))
            std::abort();
        if (reader.GetField(int(i)) != fields[i])
            std::abort();
        chars += fields[i].size();
    }
    // Without padding a line cannot yield more text than it holds.
    if (chars > lineBytes)
        std::abort();
    try {
        reader.GetField(int(fields.size()));
        std::abort();
    } catch (const klv::EStringListError &) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    const bool delimited = (data[0] & 1) != 0;
    const char mark = static_cast<char>(data[1]);
    const auto preset = static_cast<int16_t>(data[2] % 16);
    const QByteArray content(reinterpret_cast<const char *>(data + 3), qsizetype(size - 3));

    static const ScratchFile scratch;
    const QString &path = scratch.path;
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
            std::abort();
    }

    SilentDialogs dialogs;
    klv::TCSVReader reader(dialogs);
    reader.setCSVFile(path);
    reader.setDelimiter(delimited ? mark : ' ');
    reader.setSeparator(delimited ? ';' : mark);
    reader.setNoOfFields(preset);
    reader.Open();
    if (!reader.isOpen())
        std::abort();
    if (reader.NoOfFields() < 1)
        std::abort();
    // Each line takes at least one byte of the file, so there are at most size + 1 of them.
    const qsizetype bound = content.size() + 2;
    qsizetype lines = 0;
    // The first line (none in an empty file) is padded to the count set before Open, later ones
    // to the count that Open filled in.
    check(reader, content.isEmpty() ? 0 : preset, content.size());
    reader.ReadLine();
    while (!reader.Eof()) {
        if (++lines > bound)
            std::abort();
        check(reader, reader.NoOfFields(), content.size());
        reader.ReadLine();
    }
    reader.Close();
    return 0;
}
