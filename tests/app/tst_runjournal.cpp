#include "RunJournal.h"
#include "platform/Exceptions.h"
#include "platform/FileOps.h"

#include "TestSupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using namespace klv;

// The journal of a download run, as the next run finds it.
class TestRunJournal : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void newRunRecordsItsRelease();
    void nextRunCarriesOn();
    void notAJournal_data();
    void notAJournal();
    void failedWriteKeepsState();

private:
    std::unique_ptr<QTemporaryDir> FDir;
    QString FPath;
};

void TestRunJournal::init()
{
    FDir = std::make_unique<QTemporaryDir>();
    FPath = FDir->filePath(RunJournal::fileName());
}

void TestRunJournal::newRunRecordsItsRelease()
{
    RunJournal journal(FPath);
    QCOMPARE(journal.unfinishedRelease(), std::nullopt);
    // Written before anything is done: a run killed at once is still carried on.
    QCOMPARE(journal.begin(137), uint16_t(137));
    QCOMPARE(testsupport::readFile(FPath), QByteArray("release=137\r\n"));
    journal.finish();
    QVERIFY(!QFile::exists(FPath));
}

void TestRunJournal::nextRunCarriesOn()
{
    {
        RunJournal first(FPath);
        first.begin(137);
        first.markStarted(RunJournal::fileEntry(QStringLiteral("klv.exe")));
        first.markDone(RunJournal::fileEntry(QStringLiteral("klv.exe")));
        first.markStarted(RunJournal::fileEntry(QStringLiteral("sub\\help.dll")));
        first.markStarted(RunJournal::package(QStringLiteral("138.zlb")));
    } // killed here
    RunJournal next(FPath);
    QCOMPARE(next.unfinishedRelease(), std::optional<uint16_t>(137));
    // KLV.EXE wants 138 now; the run goes on with 137.
    QCOMPARE(next.begin(138), uint16_t(137));
    QVERIFY(next.isDone(RunJournal::fileEntry(QStringLiteral("klv.exe"))));
    QVERIFY(!next.isUnfinished(RunJournal::fileEntry(QStringLiteral("klv.exe"))));
    QVERIFY(next.isUnfinished(RunJournal::fileEntry(QStringLiteral("sub\\help.dll"))));
    QVERIFY(next.isUnfinished(RunJournal::package(QStringLiteral("138.zlb"))));
    QVERIFY(!next.isDone(RunJournal::package(QStringLiteral("139.zlb"))));
    QVERIFY(!next.isUnfinished(RunJournal::package(QStringLiteral("139.zlb"))));
    // Names are kept apart by kind and position.
    QVERIFY(!next.isUnfinished(RunJournal::command(0, QStringLiteral("138.zlb"))));
    next.markDone(RunJournal::package(QStringLiteral("138.zlb")));
    next.markStarted(RunJournal::command(0, QStringLiteral("query$a.sql")));

    RunJournal third(FPath);
    QCOMPARE(third.begin(138), uint16_t(137));
    QVERIFY(third.isDone(RunJournal::package(QStringLiteral("138.zlb"))));
    QVERIFY(third.isUnfinished(RunJournal::command(0, QStringLiteral("query$a.sql"))));
    QVERIFY(!third.isUnfinished(RunJournal::command(1, QStringLiteral("query$a.sql"))));
    // Started again after it was done: unfinished once more.
    third.markStarted(RunJournal::package(QStringLiteral("138.zlb")));
    QVERIFY(third.isUnfinished(RunJournal::package(QStringLiteral("138.zlb"))));
}

// What is not a journal of ours is not carried on; a new run replaces it.
void TestRunJournal::notAJournal_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("no release line") << QByteArray("done=KLV:klv.exe\r\n");
    QTest::newRow("release 0") << QByteArray("release=0\r\n");
    QTest::newRow("release above 16 bits") << QByteArray("release=65536\r\n");
    QTest::newRow("release not a number") << QByteArray("release=13x\r\n");
    QTest::newRow("negative release") << QByteArray("release=-1\r\n");
    QTest::newRow("binary") << QByteArray("\x00\xff\xfe release=137", 15);
    QTest::newRow("far too large") << QByteArray("release=137\r\n") + QByteArray(5 * 1024 * 1024, 'x');
}

void TestRunJournal::notAJournal()
{
    QFETCH(QByteArray, bytes);
    testsupport::writeFile(FPath, bytes);
    RunJournal journal(FPath);
    QCOMPARE(journal.unfinishedRelease(), std::nullopt);
    QCOMPARE(journal.begin(137), uint16_t(137));
    QCOMPARE(testsupport::readFile(FPath), QByteArray("release=137\r\n"));
}

void TestRunJournal::failedWriteKeepsState()
{
    RunJournal journal(FPath);
    journal.begin(137);
    journal.markStarted(RunJournal::fileEntry(QStringLiteral("a.dll")));
    const QByteArray before = testsupport::readFile(FPath);
    QVERIFY(QDir().mkpath(atomicTempName(FPath))); // the temporary file cannot be made
    QVERIFY_THROWS_EXCEPTION(EInOutError, journal.markDone(RunJournal::fileEntry(QStringLiteral("a.dll"))));
    QCOMPARE(testsupport::readFile(FPath), before);
    QVERIFY(RunJournal(FPath).begin(137) == 137);
}

QTEST_GUILESS_MAIN(TestRunJournal)
#include "tst_runjournal.moc"
