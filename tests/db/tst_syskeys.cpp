#include "db/KlvDatabase.h"
#include "db/KvQuery.h"
#include "db/SysKeys.h"
#include "platform/Exceptions.h"

#include "TestDatabases.h"
#include "TestSupport.h"

#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace klv;

// Key arithmetic, and the reservation of keys from SYSPROPS on SQLite and PostgreSQL.
class TestSysKeys : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void incSysKey_data();
    void incSysKey();
    void incSysKeyRefuses_data();
    void incSysKeyRefuses();
    void allocate_data();
    void allocate();
    void allocateWritesEveryRow_data();
    void allocateWritesEveryRow();
    void allocateRollsBack_data();
    void allocateRollsBack();
    void allocateDatabaseErrorRollsBack_data();
    void allocateDatabaseErrorRollsBack();

private:
    bool open(const QString &driver);
    void sql(const QStringList &statements);
    QStringList counters();

    std::unique_ptr<QTemporaryDir> FDir;
    std::unique_ptr<testsupport::PgTestDatabase> FPg;
    std::unique_ptr<KlvDatabase> FDb;
};

void TestSysKeys::init()
{
    FDir = std::make_unique<QTemporaryDir>();
}

void TestSysKeys::cleanup()
{
    FDb.reset();
    FPg.reset();
}

bool TestSysKeys::open(const QString &driver)
{
    FDb = testsupport::openKlvDatabase(driver, FDir->path(), FPg);
    if (!FDb)
        return false;
    return true;
}

void TestSysKeys::sql(const QStringList &statements)
{
    for (const QString &statement : statements) {
        TKvQuery q(*FDb);
        q.SQL = QStringList{statement};
        q.ExecSQL();
    }
}

QStringList TestSysKeys::counters()
{
    TKvQuery q(*FDb);
    q.SQL = QStringList{"select LASTSYSKEY from SYSPROPS order by VERSIENUMMER"};
    q.Open();
    QStringList out;
    for (; !q.Eof(); q.Next())
        out << q.fieldAsString(QStringLiteral("LASTSYSKEY"));
    return out;
}

static void drivers()
{
    QTest::addColumn<QString>("driver");
    for (const QString &driver : testsupport::allDrivers())
        QTest::newRow(testsupport::driverTag(driver)) << driver;
}

void TestSysKeys::incSysKey_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<int>("steps");
    QTest::addColumn<QString>("expected");
    QTest::newRow("digit") << "00000000" << 1 << "00000001";
    QTest::newRow("9 to A") << "00000009" << 1 << "0000000A";
    QTest::newRow("Z carries") << "0000000Z" << 1 << "00000010";
    QTest::newRow("two carries") << "000009ZZ" << 1 << "00000A00";
    QTest::newRow("zero steps") << "0000ABCD" << 0 << "0000ABCD";
    QTest::newRow("many steps") << "00000000" << 36 * 36 << "00000100";
    QTest::newRow("max steps") << "00000000" << 65535 << "00001EKF";
    QTest::newRow("to last key") << "ZZZZZZZY" << 1 << "ZZZZZZZZ";
    QTest::newRow("carry through seven") << "0ZZZZZZZ" << 1 << "10000000";
}

void TestSysKeys::incSysKey()
{
    QFETCH(QString, key);
    QFETCH(int, steps);
    QFETCH(QString, expected);
    QCOMPARE(IncSysKey(key, static_cast<uint16_t>(steps)), expected);
}

void TestSysKeys::incSysKeyRefuses_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<int>("steps");
    QTest::newRow("last key") << "ZZZZZZZZ" << 1;
    QTest::newRow("past the last key") << "ZZZZZZZX" << 3;
    QTest::newRow("short") << "0000001" << 1;
    QTest::newRow("long") << "000000001" << 1;
    QTest::newRow("empty") << "" << 1;
    QTest::newRow("lower case") << "0000000a" << 1;
    QTest::newRow("blank") << "000000 1" << 1;
    QTest::newRow("invalid, zero steps") << "0000-001" << 0;
}

void TestSysKeys::incSysKeyRefuses()
{
    QFETCH(QString, key);
    QFETCH(int, steps);
    QVERIFY_THROWS_EXCEPTION(ESysKeyError, IncSysKey(key, static_cast<uint16_t>(steps)));
}

void TestSysKeys::allocate_data()
{
    drivers();
}

// Keys come out ascending, the counter holds the last one, and count 0 hands out none.
void TestSysKeys::allocate()
{
    QFETCH(QString, driver);
    KLV_SKIP_WITHOUT_DRIVER(driver);
    QVERIFY(open(driver));
    sql({"insert into SYSPROPS (VERSIENUMMER, LASTSYSKEY) values (1, '0000000Y')"});

    QStringList keys{"kept"};
    AllocateSysKeys(*FDb, 3, keys);
    QCOMPARE(keys, (QStringList{"kept", "0000000Z", "00000010", "00000011"}));
    QCOMPARE(counters(), QStringList{"00000011"});
    QVERIFY(!FDb->InTransaction());

    keys.clear();
    AllocateSysKeys(*FDb, 0, keys);
    QVERIFY(keys.isEmpty());
    QCOMPARE(counters(), QStringList{"00000011"});
    AllocateSysKeys(*FDb, -5, keys);
    QVERIFY(keys.isEmpty());

    AllocateSysKeys(*FDb, 2, keys);
    QCOMPARE(keys, (QStringList{"00000012", "00000013"}));
    QCOMPARE(counters(), QStringList{"00000013"});
}

void TestSysKeys::allocateWritesEveryRow_data()
{
    drivers();
}

// The counter is read from the first row and written into every row, also with count 0.
void TestSysKeys::allocateWritesEveryRow()
{
    QFETCH(QString, driver);
    KLV_SKIP_WITHOUT_DRIVER(driver);
    QVERIFY(open(driver));
    sql({"insert into SYSPROPS (VERSIENUMMER, LASTSYSKEY) values (1, '00000AAA')",
         "insert into SYSPROPS (VERSIENUMMER, LASTSYSKEY) values (2, '00000BBB')"});
    QStringList keys;
    AllocateSysKeys(*FDb, 0, keys);
    QVERIFY(keys.isEmpty());
    QCOMPARE(counters(), (QStringList{"00000AAA", "00000AAA"}));
}

void TestSysKeys::allocateRollsBack_data()
{
    QTest::addColumn<QString>("driver");
    QTest::addColumn<QString>("counter");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("keysBeforeError");
    for (const QString &driver : testsupport::allDrivers()) {
        const QByteArray tag = testsupport::driverTag(driver);
        QTest::newRow(tag + " invalid counter") << driver << "0000-01Z" << 3 << 0;
        QTest::newRow(tag + " null counter") << driver << QString() << 1 << 0;
        QTest::newRow(tag + " last key") << driver << "ZZZZZZZY" << 3 << 1;
    }
}

// A counter that cannot be increased raises; nothing is stored and the transaction is closed.
void TestSysKeys::allocateRollsBack()
{
    QFETCH(QString, driver);
    KLV_SKIP_WITHOUT_DRIVER(driver);
    QFETCH(QString, counter);
    QFETCH(int, count);
    QFETCH(int, keysBeforeError);
    QVERIFY(open(driver));
    TKvQuery insert(*FDb);
    insert.SQL = QStringList{"insert into SYSPROPS (VERSIENUMMER, LASTSYSKEY) values (1, :k)"};
    insert.setParam(QStringLiteral("k"), counter);
    insert.ExecSQL();

    QStringList keys;
    QVERIFY_THROWS_EXCEPTION(ESysKeyError, AllocateSysKeys(*FDb, count, keys));
    QCOMPARE(keys.size(), keysBeforeError);
    QVERIFY(!FDb->InTransaction());
    QCOMPARE(counters(), QStringList{counter});
    // The connection is usable: a later transaction works.
    sql({"update SYSPROPS set LASTSYSKEY = '00000001'"});
    AllocateSysKeys(*FDb, 1, keys);
    QCOMPARE(counters(), QStringList{"00000002"});
}

void TestSysKeys::allocateDatabaseErrorRollsBack_data()
{
    drivers();
}

// A failing write raises the database error and leaves the counter as it was.
void TestSysKeys::allocateDatabaseErrorRollsBack()
{
    QFETCH(QString, driver);
    KLV_SKIP_WITHOUT_DRIVER(driver);
    QVERIFY(open(driver));
    // A check constraint refuses the new counter value, after the keys were handed out.
    sql({"drop table SYSPROPS",
         "create table SYSPROPS (VERSIENUMMER integer, LASTSYSKEY varchar(8) check (LASTSYSKEY <> '00000002'))",
         "insert into SYSPROPS (VERSIENUMMER, LASTSYSKEY) values (1, '00000000')"});
    QStringList keys;
    QVERIFY_THROWS_EXCEPTION(EDBEngineError, AllocateSysKeys(*FDb, 2, keys));
    QVERIFY(!FDb->InTransaction());
    QCOMPARE(counters(), QStringList{"00000000"});
}

QTEST_GUILESS_MAIN(TestSysKeys)
#include "tst_syskeys.moc"
