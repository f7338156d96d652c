#include "csv/CSVReader.h"
#include "platform/Exceptions.h"
#include "platform/ScriptedDialogs.h"

#include "TestSupport.h"

#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace klv;
using Lines = QList<QStringList>;

// Splitting, padding, the end of the reading and the failures of the CSV reader, on real files.
class TestCSVReader : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void defaultsAndProperties();
    void split_data();
    void split();
    void lineEnds_data();
    void lineEnds();
    void emptyFile();
    void missingFile_data();
    void missingFile();
    void closeTwiceRaises();
    void reopen();
    void windows1252();
    void lineEndAcrossChunks();
    void longLine();

private:
    QString file(const QByteArray &content);
    Lines readAll(TCSVReader &reader);

    std::unique_ptr<QTemporaryDir> FDir;
    ScriptedDialogs FDialogs;
    int FFiles = 0;
};

void TestCSVReader::init()
{
    FDir = std::make_unique<QTemporaryDir>();
    FDialogs.clear();
}

QString TestCSVReader::file(const QByteArray &content)
{
    const QString path = FDir->filePath(QStringLiteral("list%1.csv").arg(++FFiles));
    testsupport::writeFile(path, content);
    return path;
}

// The fields of every line handed out: the first line after Open, then each line until Eof.
// GetField must agree with the field list and refuse the index after it; where it does not, a
// marker line makes the comparison fail.
Lines TestCSVReader::readAll(TCSVReader &reader)
{
    Lines out;
    const auto take = [&] {
        const QStringList fields = reader.fields();
        for (int i = 0; i < fields.size(); ++i)
            if (reader.GetField(i) != fields[i])
                out << QStringList{"GetField differs"};
        try {
            reader.GetField(int(fields.size()));
            out << QStringList{"GetField past the end did not raise"};
        } catch (const EStringListError &) {
        }
        out << fields;
    };
    take();
    reader.ReadLine();
    for (int guard = 0; !reader.Eof() && guard < 10000; ++guard) {
        take();
        reader.ReadLine();
    }
    return out;
}

void TestCSVReader::defaultsAndProperties()
{
    QObject owner;
    auto *reader = new TCSVReader(FDialogs, &owner);
    QCOMPARE(reader->parent(), &owner);
    QCOMPARE(reader->property("CSVFile").toString(), QString());
    QCOMPARE(reader->property("Separator").value<char>(), '\0');
    QCOMPARE(reader->property("Delimiter").value<char>(), '\0');
    QCOMPARE(reader->property("NoOfFields").value<int16_t>(), int16_t(0));
    QCOMPARE(reader->property("Eof").toBool(), true); // nothing open yet
    QVERIFY(!reader->setProperty("Eof", false));

    const QString path = file("x|y\r\n");
    QVERIFY(reader->setProperty("CSVFile", path));
    QVERIFY(reader->setProperty("Separator", QVariant::fromValue('|')));
    QVERIFY(reader->setProperty("Delimiter", QVariant::fromValue(' ')));
    reader->Open();
    QCOMPARE(reader->fields(), (QStringList{"x", "y"}));
    QCOMPARE(reader->property("Eof").toBool(), false);
}

void TestCSVReader::split_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<char>("delimiter");
    QTest::addColumn<char>("separator");
    QTest::addColumn<int>("preset");
    QTest::addColumn<Lines>("expected");
    QTest::addColumn<int>("noOfFields");

    QTest::newRow("empty field between separators")
        << QByteArray("h\r\na;;b\r\n") << ' ' << ';' << 0 << Lines{{"h"}, {"a", "", "b"}} << 1;
    QTest::newRow("trailing separator makes no field")
        << QByteArray("h\r\na;b;\r\n") << ' ' << ';' << 0 << Lines{{"h"}, {"a", "b"}} << 1;
    QTest::newRow("leading separator makes an empty field")
        << QByteArray("h\r\n;b\r\n") << ' ' << ';' << 0 << Lines{{"h"}, {"", "b"}} << 1;
    QTest::newRow("field count stays 1 without delimiter")
        << QByteArray("a;b;c\r\n1;2;3\r\n") << ' ' << ';' << 0 << Lines{{"a", "b", "c"}, {"1", "2", "3"}} << 1;
    QTest::newRow("blanks in header do not count")
        << QByteArray("a b;c d\r\n1\r\n") << ' ' << ';' << 0 << Lines{{"a b", "c d"}, {"1"}} << 1;
    QTest::newRow("padding to preset count")
        << QByteArray("h\r\na;b\r\n\r\nc\r\n") << ' ' << ';' << 4
        << Lines{{"h", "", "", ""}, {"a", "b", "", ""}, {"", "", "", ""}, {"c", "", "", ""}} << 4;
    QTest::newRow("longer line than the count keeps its fields")
        << QByteArray("h\r\na;b;c;d;e\r\n") << ' ' << ';' << 2 << Lines{{"h", ""}, {"a", "b", "c", "d", "e"}} << 2;
    QTest::newRow("blank line in the middle yields the padded field")
        << QByteArray("h\r\n\r\nb\r\n") << ' ' << ';' << 0 << Lines{{"h"}, {""}, {"b"}} << 1;
    QTest::newRow("blanks kept in fields")
        << QByteArray("h\r\n  \r\n x ; y \r\n") << ' ' << ';' << 0 << Lines{{"h"}, {"  "}, {" x ", " y "}} << 1;
    QTest::newRow("quote: separator inside kept") << QByteArray("\"x\";\"y\";\"z\"\r\n\"a;b\";\"c\"\r\n") << '"' << ';'
                                                  << 0 << Lines{{"x", "y", "z"}, {"a;b", "c", ""}} << 3;
    QTest::newRow("quote: header count skips quoted separators")
        << QByteArray("\"a;b\";\"c\"\r\n") << '"' << ';' << 0 << Lines{{"a;b", "c"}} << 2;
    QTest::newRow("quote: text outside quotes dropped")
        << QByteArray("h\r\nxy\"a\"zz;\"b\"q\r\n") << '"' << ';' << 0 << Lines{{}, {"a", "b"}} << 1;
    QTest::newRow("quote: unclosed quote keeps the rest")
        << QByteArray("h\r\n\"abc;d\r\n") << '"' << ';' << 0 << Lines{{}, {"abc;d"}} << 1;
    QTest::newRow("quote: adjacent quotes are one empty field")
        << QByteArray("h\r\n\"\"\r\n") << '"' << ';' << 0 << Lines{{}, {""}} << 1;
    QTest::newRow("quote: closed last field once")
        << QByteArray("h\r\n\"a\",\"b\"\r\n") << '"' << ',' << 0 << Lines{{}, {"a", "b"}} << 1;
    QTest::newRow("quote: separator plays no part")
        << QByteArray("\"a\"\"b\"\r\na;b\r\n") << '"' << ';' << 0 << Lines{{"a", "b"}, {""}} << 1;
    QTest::newRow("code 0 is a delimiter like any other")
        << QByteArray("\0a\0;\0b\0\r\n", 9) << '\0' << ';' << 0 << Lines{{"a", "b"}} << 2;
}

void TestCSVReader::split()
{
    QFETCH(QByteArray, content);
    QFETCH(char, delimiter);
    QFETCH(char, separator);
    QFETCH(int, preset);
    QFETCH(Lines, expected);
    QFETCH(int, noOfFields);

    TCSVReader reader(FDialogs);
    reader.setCSVFile(file(content));
    reader.setDelimiter(delimiter);
    reader.setSeparator(separator);
    reader.setNoOfFields(static_cast<int16_t>(preset));
    reader.Open();
    QCOMPARE(reader.NoOfFields(), noOfFields);
    QCOMPARE(readAll(reader), expected);
    reader.Close();
    QVERIFY(FDialogs.entries().isEmpty());
}

void TestCSVReader::lineEnds_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<Lines>("expected");
    QTest::newRow("CR LF") << QByteArray("h\r\na\r\nb\r\n") << Lines{{"h"}, {"a"}, {"b"}};
    QTest::newRow("LF") << QByteArray("h\na\nb\n") << Lines{{"h"}, {"a"}, {"b"}};
    QTest::newRow("lone CR") << QByteArray("h\ra\rb\r") << Lines{{"h"}, {"a"}, {"b"}};
    QTest::newRow("LF CR is two line ends") << QByteArray("h\n\ra\n") << Lines{{"h"}, {""}, {"a"}};
    QTest::newRow("no break after last line") << QByteArray("h\r\na;b") << Lines{{"h"}, {"a", "b"}};
    QTest::newRow("one blank line at the end") << QByteArray("h\r\na\r\n\r\n") << Lines{{"h"}, {"a"}};
    QTest::newRow("several blank lines at the end") << QByteArray("h\r\na\r\n\r\n\r\n\n\r\n") << Lines{{"h"}, {"a"}};
    QTest::newRow("blank lines of spaces and tabs at the end")
        << QByteArray("h\r\na\r\n  \r\n\t\r\n ") << Lines{{"h"}, {"a"}};
    QTest::newRow("blank lines then a row") << QByteArray("h\r\n\r\n\r\na\r\n") << Lines{{"h"}, {""}, {""}, {"a"}};
    QTest::newRow("only a header") << QByteArray("h\r\n") << Lines{{"h"}};
    QTest::newRow("only a header without break") << QByteArray("h") << Lines{{"h"}};
    QTest::newRow("only blank lines") << QByteArray("\r\n\r\n") << Lines{{}};
}

void TestCSVReader::lineEnds()
{
    QFETCH(QByteArray, content);
    QFETCH(Lines, expected);
    TCSVReader reader(FDialogs);
    reader.setCSVFile(file(content));
    reader.setDelimiter(' ');
    reader.setSeparator(';');
    reader.Open();
    QCOMPARE(readAll(reader), expected);
    // Reading on past the end keeps Eof true.
    reader.ReadLine();
    QVERIFY(reader.Eof());
    reader.ReadLine();
    QVERIFY(reader.Eof());
}

void TestCSVReader::emptyFile()
{
    TCSVReader reader(FDialogs);
    reader.setCSVFile(file(QByteArray()));
    reader.setDelimiter(' ');
    reader.setSeparator(';');
    reader.Open();
    QVERIFY(reader.isOpen());
    QCOMPARE(reader.NoOfFields(), 1);
    QVERIFY(reader.Eof());
    QVERIFY(reader.fields().isEmpty());
    QVERIFY_THROWS_EXCEPTION(EStringListError, reader.GetField(0));
    reader.Close();
    QVERIFY(FDialogs.entries().isEmpty());
}

void TestCSVReader::missingFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("preset");
    QTest::newRow("missing") << "nothere.csv" << 0;
    QTest::newRow("missing, count kept") << "nothere.csv" << 5;
    QTest::newRow("a folder") << "folder" << 0;
    QTest::newRow("empty name") << "" << 0;
}

// The error box, no exception from Open, and the runtime's errors from later calls.
void TestCSVReader::missingFile()
{
    QFETCH(QString, name);
    QFETCH(int, preset);
    QVERIFY(QDir(FDir->path()).mkdir(QStringLiteral("folder")));
    const QString path = name.isEmpty() ? QString() : FDir->filePath(name);
    TCSVReader reader(FDialogs);
    reader.setCSVFile(path);
    reader.setDelimiter(' ');
    reader.setSeparator(';');
    reader.setNoOfFields(static_cast<int16_t>(preset));
    reader.Open();
    QCOMPARE(FDialogs.entries(),
             (QList<ScriptedDialogs::Entry>{{Dialogs::Kind::Error, "File " + path + " not found!"}}));
    QVERIFY(!reader.isOpen());
    QCOMPARE(reader.NoOfFields(), preset);
    QVERIFY(reader.Eof());
    QVERIFY_THROWS_EXCEPTION(EStringListError, reader.GetField(0));
    QVERIFY_THROWS_EXCEPTION(EInOutError, reader.ReadLine());
    QVERIFY_THROWS_EXCEPTION(EInOutError, reader.Close());
}

void TestCSVReader::closeTwiceRaises()
{
    TCSVReader reader(FDialogs);
    reader.setCSVFile(file("a\r\n"));
    reader.Open();
    reader.Close();
    QVERIFY(!reader.isOpen());
    QVERIFY_THROWS_EXCEPTION(EInOutError, reader.Close());
    QVERIFY_THROWS_EXCEPTION(EInOutError, reader.ReadLine());
}

// Opening again starts at the first line of the (new) file, keeping the field count.
void TestCSVReader::reopen()
{
    TCSVReader reader(FDialogs);
    reader.setDelimiter('"');
    reader.setSeparator(';');
    reader.setCSVFile(file("\"a\";\"b\";\"c\"\r\n\"1\"\r\n"));
    reader.Open();
    reader.ReadLine();
    QCOMPARE(reader.fields(), (QStringList{"1", "", ""}));
    reader.setCSVFile(file("\"x\"\r\n"));
    reader.Open();
    QCOMPARE(reader.NoOfFields(), 3);
    QCOMPARE(reader.fields(), (QStringList{"x", "", ""}));
    reader.ReadLine();
    QVERIFY(reader.Eof());
}

void TestCSVReader::windows1252()
{
    TCSVReader reader(FDialogs);
    reader.setCSVFile(file("h\r\nbe\xeb"
                           "indigd;\x80 5\r\n"));
    reader.setDelimiter(' ');
    reader.setSeparator(';');
    reader.Open();
    reader.ReadLine();
    QCOMPARE(reader.fields(), (QStringList{QString::fromUtf8("beëindigd"), QString::fromUtf8("€ 5")}));
}

// A CR LF split over two reads of the file is one line end.
void TestCSVReader::lineEndAcrossChunks()
{
    for (int cut = 65533; cut <= 65537; ++cut) {
        QByteArray content = "h\r\n" + QByteArray(cut - 3, 'x');
        content += "\r\ny;z\r\n";
        TCSVReader reader(FDialogs);
        reader.setCSVFile(file(content));
        reader.setDelimiter(' ');
        reader.setSeparator(';');
        reader.Open();
        const Lines lines = readAll(reader);
        QCOMPARE(lines.size(), 3);
        QCOMPARE(lines[1], QStringList{QString(cut - 3, u'x')});
        QCOMPARE(lines[2], (QStringList{"y", "z"}));
    }
}

void TestCSVReader::longLine()
{
    QByteArray row;
    for (int i = 0; i < 50000; ++i)
        row += QByteArray::number(i) + ';';
    TCSVReader reader(FDialogs);
    reader.setCSVFile(file("h\r\n" + row + "\r\n" + QByteArray(200000, ' ') + "\r\n"));
    reader.setDelimiter(' ');
    reader.setSeparator(';');
    reader.Open();
    reader.ReadLine();
    QCOMPARE(reader.fields().size(), 50000);
    QCOMPARE(reader.GetField(49999), QString("49999"));
    reader.ReadLine();
    QVERIFY(reader.Eof());
}

QTEST_GUILESS_MAIN(TestCSVReader)
#include "tst_csvreader.moc"
