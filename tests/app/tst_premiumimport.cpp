#include "PremiumImport.h"
#include "db/KlvDatabase.h"
#include "db/KvQuery.h"
#include "db/SysKeys.h"
#include "platform/Exceptions.h"
#include "platform/ScriptedDialogs.h"

#include "TestDatabases.h"
#include "TestSupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace klv;

// The premium list import on real SQLite and PostgreSQL databases.
class TestPremiumImport : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void importsRegionRows_data();
    void importsRegionRows();
    void importTwiceReplaces_data();
    void importTwiceReplaces();
    void otherRegionsOnly_data();
    void otherRegionsOnly();
    void failingRowsKeepEarlierRows_data();
    void failingRowsKeepEarlierRows();
    void budgetBeyond255_data();
    void budgetBeyond255();
    void missingFile_data();
    void missingFile();
    void badHeader_data();
    void badHeader();
    void fileNameWithoutCase();
    void codesAsTheServerComparesThem_data();
    void codesAsTheServerComparesThem();
    void batchesWriteWhatSingleRowsWrite_data();
    void batchesWriteWhatSingleRowsWrite();
    void failingBatchNamesTheRow_data();
    void failingBatchNamesTheRow();

private:
    bool open(const QString &driver);
    void sql(const QStringList &statements);
    void materials(int official, int other = 0);
    // Official materials in one transaction: many of them, quickly.
    void materialsAtOnce(int official);
    QString list(const QString &name, const QByteArray &content);
    QStringList rows();
    QString counter();
    // Imports `path` with `rowsPerStatement` on a table emptied and a counter reset first.
    PremiumImport::Result importAfresh(const QString &path, int rowsPerStatement);

    std::unique_ptr<QTemporaryDir> FDir;
    std::unique_ptr<testsupport::PgTestDatabase> FPg;
    std::unique_ptr<KlvDatabase> FDb;
    std::unique_ptr<PremiumImport> FImport;
    ScriptedDialogs FDialogs;
    QString FRegio;
    QStringList FLog;
};

void TestPremiumImport::init()
{
    FDir = std::make_unique<QTemporaryDir>();
    FDialogs.clear();
    FLog.clear();
    FRegio = QStringLiteral("07");
}

void TestPremiumImport::cleanup()
{
    FImport.reset();
    FDb.reset();
    FPg.reset();
}

bool TestPremiumImport::open(const QString &driver)
{
    FDb = testsupport::openKlvDatabase(driver, FDir->path(), FPg);
    if (!FDb)
        return false;
    FImport = std::make_unique<PremiumImport>(*FDb, FRegio, Folders(FDir->path(), FDir->path()), FDialogs,
                                              [this](const QString &line) { FLog << line; });
    sql({"insert into SYSPROPS (VERSIENUMMER, LASTSYSKEY) values (137, '00000100')"});
    return true;
}

void TestPremiumImport::sql(const QStringList &statements)
{
    for (const QString &statement : statements) {
        TKvQuery q(*FDb);
        q.SQL = QStringList{statement};
        q.ExecSQL();
    }
}

// Official materials M1, M2, ... with keys MAT00001, ...; then non-official ones X1, ...
void TestPremiumImport::materials(int official, int other)
{
    TKvQuery q(*FDb);
    q.SQL = QStringList{"insert into ARNMATERIAAL (SSYSKEY_MAT, SCODE_MAT, SISOFFICIAL_MAT) values (:k, :c, :o)"};
    for (int i = 1; i <= official + other; ++i) {
        const bool isOfficial = i <= official;
        q.setParam("k", QString("%1%2").arg(isOfficial ? "MAT" : "OTH").arg(i, 5, 10, QChar('0')));
        q.setParam("c", QString("%1%2").arg(isOfficial ? "M" : "X").arg(isOfficial ? i : i - official));
        q.setParam("o", isOfficial ? "T" : "F");
        q.ExecSQL();
    }
}

void TestPremiumImport::materialsAtOnce(int official)
{
    FDb->StartTransaction();
    materials(official);
    FDb->Commit();
}

QString TestPremiumImport::list(const QString &name, const QByteArray &content)
{
    testsupport::writeFile(FDir->filePath(name), content);
    return FDir->filePath(name);
}

// ARNPREMIE by key: key|material|region|norm|unit|dismantling|collection|total|date
QStringList TestPremiumImport::rows()
{
    TKvQuery q(*FDb);
    q.SQL = QStringList{"select * from ARNPREMIE order by SSYSKEY_PRM"};
    q.Open();
    QStringList out;
    for (; !q.Eof(); q.Next()) {
        QStringList row;
        // Texts are written empty, never null.
        const auto text = [&](const char *name) {
            return q.FieldByName(name).isNull() ? QStringLiteral("<null>") : q.fieldAsString(name);
        };
        row << text("SSYSKEY_PRM") << text("SSYSKEY_MAT") << text("SREGIO_PRM");
        row << QString::number(q.FieldByName("NNORM_PRM").toDouble()) << text("SEENHEID_PRM");
        for (const char *amount : {"NDEMONTAGE_PRM", "NINZAMEL_PRM", "NTOTAAL_PRM"})
            row << QString::number(q.FieldByName(amount).toDouble());
        row << q.FieldByName("DINGANG_PRM").toDateTime().toString("yyyy-MM-dd hh:mm:ss");
        out << row.join('|');
    }
    return out;
}

QString TestPremiumImport::counter()
{
    TKvQuery q(*FDb);
    q.SQL = QStringList{"select LASTSYSKEY from SYSPROPS"};
    q.Open();
    return q.fieldAsString("LASTSYSKEY");
}

static void drivers()
{
    QTest::addColumn<QString>("driver");
    for (const QString &driver : testsupport::allDrivers())
        QTest::newRow(testsupport::driverTag(driver)) << driver;
}

static const QByteArray kList = "20240301 premielijst maart;Premies;v2\r\n"
                                "07;M1;x;12,50;st;1.5;2;16\r\n"
                                "08;M2;x;1;st;1;1;3\r\n"
                                "07;M2;x;;kg;0,25;-1;3.75\r\n"
                                "07 ;M3;x;1;st;1;1;3\r\n"
                                "7;M3;x;1;st;1;1;3\r\n"
                                "07;ONBEKEND;x;1;st;2;3;6\r\n";

void TestPremiumImport::importsRegionRows_data()
{
    drivers();
}

// Only exact matches of the region, in file order with ascending keys; both decimal marks, an
// empty amount as 0, an unknown material with an empty key, the date from the header's start.
void TestPremiumImport::importsRegionRows()
{
    QFETCH(QString, driver);
    KLV_SKIP_WITHOUT_DRIVER(driver);
    QVERIFY(open(driver));
    materials(4, 1);
    list("premie.csv", kList);
    FImport->LoadPremiumList("premie.csv");
    QCOMPARE(FLog, QStringList{"Premielijst"});
    QCOMPARE(rows(), (QStringList{"00000101|MAT00001|07|12.5|st|1.5|2|16|2024-03-01 00:00:00",
                                  "00000102|MAT00002|07|0|kg|0.25|-1|3.75|2024-03-01 00:00:00",
                                  "00000103||07|1|st|2|3|6|2024-03-01 00:00:00"}));
    QCOMPARE(counter(), QString("00000104")); // one key per official material
    QVERIFY(!FDb->InTransaction());
    QVERIFY(FDialogs.entries().isEmpty());
}

void TestPremiumImport::importTwiceReplaces_data()
{
    drivers();
}

// The second import replaces the rows of its date with new keys; other dates stay.
void TestPremiumImport::importTwiceReplaces()
{
    QFETCH(QString, driver);
    KLV_SKIP_WITHOUT_DRIVER(driver);
    QVERIFY(open(driver));
    materials(3);
    TKvQuery other(*FDb);
    other.SQL =
        QStringList{"insert into ARNPREMIE (SSYSKEY_PRM, SREGIO_PRM, DINGANG_PRM) values ('OLD00001', '07', :d)"};
    other.setParam("d", QDateTime(QDate(2023, 1, 1), QTime(0, 0)));
    other.ExecSQL();
    const QString path = list("premie.csv", "20240301\r\n07;M1;x;1;st;1;1;1\r\n07;M2;x;2;st;2;2;2\r\n");

    QVERIFY(FImport->ImportPremiumList(path).imported);
    const PremiumImport::Result second = FImport->ImportPremiumList(path);
    QVERIFY(second.imported);
    QCOMPARE(second.rows, 2);
    QCOMPARE(rows(), (QStringList{"00000104|MAT00001|07|1|st|1|1|1|2024-03-01 00:00:00",
                                  "00000105|MAT00002|07|2|st|2|2|2|2024-03-01 00:00:00",
                                  "OLD00001|<null>|07|0|<null>|0|0|0|2023-01-01 00:00:00"}));
    QCOMPARE(counter(), QString("00000106"));
}

void TestPremiumImport::otherRegionsOnly_data()
{
    drivers();
}

// A list without rows of the region removes its date's rows and still reserves the keys.
void TestPremiumImport::otherRegionsOnly()
{
    QFETCH(QString, driver);
    KLV_SKIP_WITHOUT_DRIVER(driver);
    QVERIFY(open(driver));
    materials(2);
    list("a.csv", "20240301\r\n07;M1;x;1;st;1;1;1\r\n");
    FImport->LoadPremiumList("a.csv");
    QCOMPARE(rows().size(), 1);
    list("b.csv", "20240301\r\n08;M1;x;1;st;1;1;1\r\n09;M2;x;1;st;1;1;1\r\n");
    FImport->LoadPremiumList("b.csv");
    QCOMPARE(FLog, (QStringList{"Premielijst", "Premielijst"}));
    QVERIFY(rows().isEmpty());
    QCOMPARE(counter(), QString("00000104"));
}

void TestPremiumImport::failingRowsKeepEarlierRows_data()
{
    QTest::addColumn<QString>("driver");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("reason");
    for (const QString &driver : testsupport::allDrivers()) {
        const QByteArray tag = testsupport::driverTag(driver) + ' ';
        // Three official materials give three keys; the fourth matching row has none.
        QTest::newRow(tag + "more rows than keys")
            << driver
            << QByteArray("20240301\r\n07;M1;x;1;st;1;1;1\r\n07;M2;x;1;st;1;1;1\r\n"
                          "07;M3;x;1;st;1;1;1\r\n07;M3;x;1;st;1;1;1\r\n")
            << "regel 5: meer regels voor regio 07 dan gereserveerde sleutels (3)";
        // A last empty field is no field: the row has seven.
        QTest::newRow(tag + "short row") << driver
                                         << QByteArray("20240301\r\n07;M1;x;1;st;1;1;1\r\n07;M2;x;1;st;1;1;\r\n")
                                         << "regel 3: List index out of bounds (7)";
        // The next key is taken already.
        QTest::newRow(tag + "database error") << driver << QByteArray("20240301\r\n07;M1;x;1;st;1;1;1\r\n") << "";
    }
}

// A list that fails while its rows are written leaves the earlier rows of its date, adds none,
// keeps its keys used and says why in the log.
void TestPremiumImport::failingRowsKeepEarlierRows()
{
    QFETCH(QString, driver);
    KLV_SKIP_WITHOUT_DRIVER(driver);
    QFETCH(QByteArray, content);
    QFETCH(QString, reason);
    QVERIFY(open(driver));
    materials(3);
    list("first.csv", "20240301\r\n07;M1;x;9;st;9;9;9\r\n");
    FImport->LoadPremiumList("first.csv");
    const QStringList earlier = rows();
    QCOMPARE(earlier.size(), 1);
    if (reason.isEmpty())
        sql({"insert into ARNPREMIE (SSYSKEY_PRM, SREGIO_PRM) values ('00000104', '99')"});
    const QStringList before = rows();

    const QString path = list("second.csv", content);
    FLog.clear();
    FImport->LoadPremiumList("second.csv");
    QCOMPARE(rows(), before);
    QCOMPARE(counter(), QString("00000106"));
    QVERIFY(!FDb->InTransaction());
    QCOMPARE(FLog.size(), 1);
    const QString prefix = "Premielijst: " + path + " niet ingelezen (";
    QVERIFY2(FLog[0].startsWith(prefix) && FLog[0].endsWith(")."), qPrintable(FLog[0]));
    if (!reason.isEmpty())
        QCOMPARE(FLog[0], prefix + reason + ").");
    else
        QVERIFY2(FLog[0].startsWith(prefix + "regel 2: "), qPrintable(FLog[0]));
}

void TestPremiumImport::budgetBeyond255_data()
{
    drivers();
}

// 300 official materials give 300 keys, not 300 mod 256.
void TestPremiumImport::budgetBeyond255()
{
    QFETCH(QString, driver);
    KLV_SKIP_WITHOUT_DRIVER(driver);
    QVERIFY(open(driver));
    FDb->StartTransaction();
    materials(600);
    FDb->Commit();
    QByteArray content = "20240301\r\n";
    for (int i = 1; i <= 600; ++i)
        content += "07;M" + QByteArray::number(i) + ";x;1;st;1;1;1\r\n";
    const PremiumImport::Result result = FImport->ImportPremiumList(list("big.csv", content));
    QVERIFY2(result.imported, qPrintable(result.failure));
    QCOMPARE(result.rows, 600);
    const QStringList imported = rows();
    QCOMPARE(imported.size(), 600);
    // Each row with its own material, also past the codes asked for in one question.
    for (int i = 0; i < 600; ++i)
        QCOMPARE(imported[i].section(u'|', 1, 1), QString("MAT%1").arg(i + 1, 5, 10, QChar('0')));
    QVERIFY(imported.last().startsWith("000001GO|MAT00600|")); // 1296 + 600 in base 36
    QCOMPARE(counter(), QString("000001GO"));
}

void TestPremiumImport::missingFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("missing") << "nope.csv";
    QTest::newRow("a folder") << "sub";
}

void TestPremiumImport::missingFile()
{
    QFETCH(QString, name);
    QVERIFY(open("QSQLITE"));
    QVERIFY(QDir(FDir->path()).mkdir("sub"));
    FImport->LoadPremiumList(name);
    QCOMPARE(FLog, QStringList{"Premielijst: " + FDir->filePath(name) + " bestaat niet."});
    QCOMPARE(counter(), QString("00000100"));
    QVERIFY(FDialogs.entries().isEmpty());
}

void TestPremiumImport::badHeader_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("conversion");
    QTest::newRow("letters") << QByteArray("2024MAAR\r\n07;M1;x;1;st;1;1;1\r\n") << true;
    QTest::newRow("month 13") << QByteArray("20241301\r\n") << true;
    QTest::newRow("30 February") << QByteArray("20240230\r\n") << true;
    QTest::newRow("short") << QByteArray("202403\r\n") << true;
    QTest::newRow("empty header field") << QByteArray(";20240301\r\n") << true;
    QTest::newRow("empty file") << QByteArray() << false;
}

// A header without a date raises before anything in the database changes.
void TestPremiumImport::badHeader()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, conversion);
    QVERIFY(open("QSQLITE"));
    materials(2);
    list("premie.csv", content);
    if (conversion)
        QVERIFY_THROWS_EXCEPTION(EConvertError, FImport->LoadPremiumList("premie.csv"));
    else
        QVERIFY_THROWS_EXCEPTION(Exception, FImport->LoadPremiumList("premie.csv"));
    QVERIFY(FLog.isEmpty());
    QCOMPARE(counter(), QString("00000100"));
    QVERIFY(!FDb->InTransaction());
}

// Names from the package list are found whatever their case.
void TestPremiumImport::fileNameWithoutCase()
{
    QVERIFY(open("QSQLITE"));
    materials(1);
    list("premie.csv", "20240301\r\n07;M1;x;1;st;1;1;1\r\n");
    FImport->LoadPremiumList("PREMIE.CSV");
    QCOMPARE(FLog, QStringList{"Premielijst"});
    QCOMPARE(rows().size(), 1);
}

void TestPremiumImport::codesAsTheServerComparesThem_data()
{
    QTest::addColumn<QString>("driver");
    QTest::addColumn<bool>("portable");
    QTest::addColumn<int>("others");
    // The server finds the materials as the rows are written; the portable way asks beforehand: a
    // table small beside the list's codes is read whole, a large one is asked for the codes.
    for (const QString &driver : testsupport::serverDrivers())
        QTest::newRow(testsupport::driverTag(driver) + " looked up as written") << driver << false << 0;
    QTest::newRow("odbc table read whole") << QStringLiteral("QODBC") << true << 0;
    QTest::newRow("odbc codes asked for") << QStringLiteral("QODBC") << true << 50;
}

// The server may compare codes by rules of its own: each code's key is the server's answer, also
// when many codes are asked at once.
void TestPremiumImport::codesAsTheServerComparesThem()
{
    QFETCH(QString, driver);
    QFETCH(bool, portable);
    QFETCH(int, others);
    KLV_SKIP_WITHOUT_DRIVER(driver);
    QVERIFY(open(driver));
    FImport->setPortableBatches(portable);
    sql({"create collation KLV_CI (provider = icu, locale = 'und-u-ks-level2', deterministic = false)",
         "alter table ARNMATERIAAL alter column SCODE_MAT type varchar(20) collate KLV_CI"});
    materials(4, others);
    QByteArray content = "20240301\r\n07;m1;x;1;st;1;1;1\r\n07;M2;x;2;st;1;1;1\r\n07;M1;x;3;st;1;1;1\r\n"
                         "07;m3 ;x;4;st;1;1;1\r\n08;M9;x;0;st;0;0;0\r\n";
    const QString path = list("premie.csv", content);
    const PremiumImport::Result result = FImport->ImportPremiumList(path);
    QVERIFY2(result.imported, qPrintable(result.failure));
    QStringList keys;
    for (const QString &row : rows())
        keys << row.section(u'|', 0, 1);
    QCOMPARE(keys, (QStringList{"00000101|MAT00001", "00000102|MAT00002", "00000103|MAT00001", "00000104|"}));
}

PremiumImport::Result TestPremiumImport::importAfresh(const QString &path, int rowsPerStatement)
{
    sql({"delete from ARNPREMIE", "update SYSPROPS set LASTSYSKEY = '00000100'"});
    FImport->setRowsPerStatement(rowsPerStatement);
    return FImport->ImportPremiumList(path);
}

// A list of `rows` rows of the region and of others, with texts that quoting and escaping could
// get wrong, unknown materials and amounts in both notations.
static QByteArray awkwardList(int rows)
{
    const QList<QByteArray> units{"st",        "",       "o'clock",  "a\\b", "\"q\"", "{x,y}", "NULL",
                                  "m\xc2\xb2", "  pad ", "a\"b'c\\", "\\",   "''",    ",",     "}"};
    // Units of up to 10 bytes drawn from what quoting and array syntax use, and bytes above 0x7F.
    const QByteArray alphabet = "\"'\\{}(),$ NULnul\x80\x9f\xa0\xe9\xff";
    quint32 state = 2463534242u;
    const auto drawn = [&] {
        QByteArray unit;
        for (quint32 n = (state % 11); n > 0; --n) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            unit += alphabet[int(state % quint32(alphabet.size()))];
        }
        return unit;
    };
    QByteArray out = "20240301\r\n";
    for (int i = 1; i <= rows; ++i) {
        const QByteArray region = i % 5 == 0 ? "08" : "07";
        const QByteArray material = i % 7 == 0 ? "ONBEKEND" : "M" + QByteArray::number(i % 40 + 1);
        const QByteArray unit = i % 3 == 0 ? drawn() : units[i % units.size()];
        out += region + ';' + material + ";x;" + QByteArray::number(i) + ",25;" + unit + ';' +
               QByteArray::number(i % 3) + "." + QByteArray::number(i % 10) + ";-" + QByteArray::number(i) + ";1e" +
               QByteArray::number(i % 30) + "\r\n";
    }
    return out;
}

void TestPremiumImport::batchesWriteWhatSingleRowsWrite_data()
{
    QTest::addColumn<QString>("driver");
    QTest::addColumn<int>("rowsPerStatement");
    QTest::addColumn<bool>("portable");
    for (const QString &driver : testsupport::allDrivers()) {
        const QByteArray tag = testsupport::driverTag(driver) + ' ';
        QTest::newRow(tag + "driver's size") << driver << 0 << false;
        QTest::newRow(tag + "7 per statement") << driver << 7 << false;
        QTest::newRow(tag + "all in one") << driver << 1000 << false;
        if (testsupport::effectiveDriver(driver) == u"QODBC") {
            QTest::newRow(tag + "parameter arrays") << driver << 0 << true;
            QTest::newRow(tag + "parameter arrays, 7") << driver << 7 << true;
        }
    }
}

// Rows written several to a statement are the rows written one at a time: the same keys, texts,
// amounts and date, in the same order.
void TestPremiumImport::batchesWriteWhatSingleRowsWrite()
{
    QFETCH(QString, driver);
    QFETCH(int, rowsPerStatement);
    QFETCH(bool, portable);
    KLV_SKIP_WITHOUT_DRIVER(driver);
    QVERIFY(open(driver));
    materialsAtOnce(300);
    const QString path = list("premie.csv", awkwardList(250));
    FImport->setPortableBatches(portable);

    const PremiumImport::Result single = importAfresh(path, 1);
    QVERIFY2(single.imported, qPrintable(single.failure));
    const QStringList expected = rows();
    QCOMPARE(expected.size(), 200);
    const PremiumImport::Result batched = importAfresh(path, rowsPerStatement);
    QVERIFY2(batched.imported, qPrintable(batched.failure));
    QVERIFY(!batched.redone); // written as batches, not after a batch failed
    QCOMPARE(batched.rows, single.rows);
    QCOMPARE(rows(), expected);
}

void TestPremiumImport::failingBatchNamesTheRow_data()
{
    QTest::addColumn<QString>("driver");
    QTest::addColumn<int>("failingLine");
    QTest::addColumn<bool>("portable");
    for (const QString &driver : testsupport::allDrivers()) {
        const QByteArray tag = testsupport::driverTag(driver) + ' ';
        QTest::newRow(tag + "first row") << driver << 2 << false;
        QTest::newRow(tag + "inside a statement") << driver << 140 << false;
        QTest::newRow(tag + "last row") << driver << 201 << false;
        if (testsupport::effectiveDriver(driver) == u"QODBC")
            QTest::newRow(tag + "parameter arrays, inside") << driver << 140 << true;
    }
}

// When a statement of several rows fails, the line and the error reported are those of the row
// that fails on its own, and nothing of the list stays.
void TestPremiumImport::failingBatchNamesTheRow()
{
    QFETCH(QString, driver);
    QFETCH(int, failingLine);
    QFETCH(bool, portable);
    KLV_SKIP_WITHOUT_DRIVER(driver);
    QVERIFY(open(driver));
    materialsAtOnce(300);
    FImport->setPortableBatches(portable);
    QByteArray content = "20240301\r\n";
    for (int i = 1; i <= 200; ++i)
        content += "07;M" + QByteArray::number(i) + ";x;1;st;1;1;1\r\n";
    const QString path = list("premie.csv", content);
    // The key the failing row gets is taken already: line n gets the key 100 + n - 1 in base 36.
    const QString taken = IncSysKey("00000100", uint16_t(failingLine - 1));
    const auto prepare = [&] {
        sql({"delete from ARNPREMIE", "update SYSPROPS set LASTSYSKEY = '00000100'"});
        TKvQuery q(*FDb);
        q.SQL = QStringList{"insert into ARNPREMIE (SSYSKEY_PRM, SREGIO_PRM) values (:k, '99')"};
        q.setParam("k", taken);
        q.ExecSQL();
    };

    prepare();
    FImport->setRowsPerStatement(1);
    const PremiumImport::Result single = FImport->ImportPremiumList(path);
    QVERIFY(!single.imported);
    QVERIFY2(single.failure.startsWith(QString("regel %1: ").arg(failingLine)), qPrintable(single.failure));

    prepare();
    FImport->setRowsPerStatement(0);
    const PremiumImport::Result batched = FImport->ImportPremiumList(path);
    QVERIFY(!batched.imported);
    QCOMPARE(batched.failure, single.failure);
    QCOMPARE(batched.rows, 0);
    QCOMPARE(rows().size(), 1); // only the row that took the key
    QVERIFY(!FDb->InTransaction());
}

QTEST_GUILESS_MAIN(TestPremiumImport)
#include "tst_premiumimport.moc"
