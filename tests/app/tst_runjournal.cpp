#include "RunJournal.h"
#include "platform/Exceptions.h"
#include "platform/FileOps.h"

#include "TestSupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using namespace klv;

namespace {
constexpr RunJournal::List kCustomer = RunJournal::List::Customer;
constexpr RunJournal::List kGeneral = RunJournal::List::General;
} // namespace

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
    void carriedOn_data();
    void carriedOn();
    void copyRoundTrip();

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
    QCOMPARE(journal.begin(137, kCustomer), uint16_t(137));
    QCOMPARE(testsupport::readFile(FPath), QByteArray("release=137\r\nlist=customer\r\n"));
    journal.finish();
    QVERIFY(!QFile::exists(FPath));
}

void TestRunJournal::nextRunCarriesOn()
{
    {
        RunJournal first(FPath);
        first.begin(137, kCustomer);
        first.markStarted(RunJournal::fileEntry(QStringLiteral("klv.exe")));
        first.markDone(RunJournal::fileEntry(QStringLiteral("klv.exe")));
        first.markStarted(RunJournal::fileEntry(QStringLiteral("sub\\help.dll")));
        first.markStarted(RunJournal::package(QStringLiteral("138.zlb")));
    } // killed here
    RunJournal next(FPath);
    QCOMPARE(next.unfinishedRelease(), std::optional<uint16_t>(137));
    // KLV.EXE wants 138 now; the run goes on with 137.
    QCOMPARE(next.begin(138, kCustomer), uint16_t(137));
    QVERIFY(next.isDone(RunJournal::fileEntry(QStringLiteral("klv.exe"))));
    QVERIFY(!next.isUnfinished(RunJournal::fileEntry(QStringLiteral("klv.exe"))));
    QVERIFY(next.isUnfinished(RunJournal::fileEntry(QStringLiteral("sub\\help.dll"))));
    QVERIFY(next.isUnfinished(RunJournal::package(QStringLiteral("138.zlb"))));
    QVERIFY(!next.isDone(RunJournal::package(QStringLiteral("139.zlb"))));
    QVERIFY(!next.isUnfinished(RunJournal::package(QStringLiteral("139.zlb"))));
    // Names are kept apart by kind and position.
    QVERIFY(!next.isUnfinished(RunJournal::command(0, QStringLiteral("138.zlb"))));
    next.markDone(RunJournal::package(QStringLiteral("138.zlb")));
    const QString query = RunJournal::command(0, QStringLiteral("query$a b.sql"));
    next.markStarted(query);
    next.markScriptRun(query, 42);

    RunJournal third(FPath);
    QCOMPARE(third.begin(138, kCustomer), uint16_t(137));
    QVERIFY(third.isDone(RunJournal::package(QStringLiteral("138.zlb"))));
    QVERIFY(third.isUnfinished(query));
    QVERIFY(!third.isUnfinished(RunJournal::command(1, QStringLiteral("query$a b.sql"))));
    // The query's script run is kept with its command, and only with it.
    QCOMPARE(third.scriptRun(query), std::optional<qint64>(42));
    QCOMPARE(third.scriptRun(RunJournal::command(1, QStringLiteral("query$a b.sql"))), std::nullopt);
    // Started again after it was done: unfinished once more, and its script is a new one.
    third.markStarted(RunJournal::package(QStringLiteral("138.zlb")));
    QVERIFY(third.isUnfinished(RunJournal::package(QStringLiteral("138.zlb"))));
    third.markDone(query);
    third.markStarted(query);
    QCOMPARE(third.scriptRun(query), std::nullopt);
    RunJournal fourth(FPath);
    fourth.begin(138, kCustomer);
    QCOMPARE(fourth.scriptRun(query), std::nullopt);
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
    QCOMPARE(journal.begin(137, kCustomer), uint16_t(137));
    QCOMPARE(testsupport::readFile(FPath), QByteArray("release=137\r\nlist=customer\r\n"));
}

void TestRunJournal::failedWriteKeepsState()
{
    RunJournal journal(FPath);
    journal.begin(137, kCustomer);
    journal.markStarted(RunJournal::fileEntry(QStringLiteral("a.dll")));
    const QByteArray before = testsupport::readFile(FPath);
    QVERIFY(QDir().mkpath(atomicTempName(FPath))); // the temporary file cannot be made
    QVERIFY_THROWS_EXCEPTION(EInOutError, journal.markDone(RunJournal::fileEntry(QStringLiteral("a.dll"))));
    QCOMPARE(testsupport::readFile(FPath), before);
    QVERIFY(RunJournal(FPath).begin(137, kCustomer) == 137);
}

// What a journal tells the run that carries it on: the list it belongs to, whether a step failed,
// and the server's copy of each finished package.
void TestRunJournal::carriedOn_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("generalRun");
    QTest::addColumn<int>("listBefore"); // -1 none, else RunJournal::List
    QTest::addColumn<int>("listAfter");
    QTest::addColumn<bool>("failure");    // or may have: a journal of an earlier version does not say
    QTest::addColumn<QByteArray>("etag"); // of SQL:138.zlb's copy; "-" none
    const QByteArray head = "release=137\r\nlist=customer\r\n";
    const QByteArray done = "done=SQL:138.zlb\r\n";
    const int customer = int(kCustomer);
    const int general = int(kGeneral);
    QTest::newRow("earlier version, taken by the general list")
        << QByteArray("release=137\r\n" + done) << true << -1 << general << true << QByteArray("-");
    QTest::newRow("general list's, carried on by the customer's")
        << QByteArray("release=137\r\nlist=general\r\n") << false << general << customer << false << QByteArray("-");
    QTest::newRow("customer's stays the customer's")
        << head << true << customer << customer << false << QByteArray("-");
    QTest::newRow("unknown list name") << QByteArray("release=137\r\nlist=other\r\n") << false << -1 << customer << true
                                       << QByteArray("-");
    QTest::newRow("copy of a finished package")
        << head + "copy=10,,%22a%20b%22,Mon%2C%2007%20Dec%202026%2010%3A00%3A00%20GMT SQL:138.zlb\r\n" + done << false
        << customer << customer << false << QByteArray("\"a b\"");
    QTest::newRow("finished again without a copy")
        << head + "copy=10,,%22a%22, SQL:138.zlb\r\n" + done + "started=SQL:138.zlb\r\n" + done << false << customer
        << customer << false << QByteArray("-");
    QTest::newRow("copy of another entry") << head + "copy=10,,%22a%22, SQL:139.zlb\r\n" + done << false << customer
                                           << customer << false << QByteArray("-");
    QTest::newRow("damaged length") << head + "copy=x,,%22a%22, SQL:138.zlb\r\n" + done << false << customer << customer
                                    << false << QByteArray("-");
    QTest::newRow("damaged digest") << head + "copy=10,abc,%22a%22, SQL:138.zlb\r\n" + done << false << customer
                                    << customer << false << QByteArray("-");
    // Validators are sent to the server again: a line break would start a header of its own.
    QTest::newRow("line break in a validator") << head + "copy=10,,%22a%0D%0AX-Evil%3A%201%22, SQL:138.zlb\r\n" + done
                                               << false << customer << customer << false << QByteArray("-");
    QTest::newRow("failed command") << head + "started=CMD:0:query$x.sql\r\nfailed=CMD:0:query$x.sql\r\n"
                                    << false << customer << customer << true << QByteArray("-");
}

void TestRunJournal::carriedOn()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, generalRun);
    QFETCH(int, listBefore);
    QFETCH(int, listAfter);
    QFETCH(bool, failure);
    QFETCH(QByteArray, etag);
    testsupport::writeFile(FPath, bytes);
    RunJournal journal(FPath);
    const std::optional<RunJournal::Unfinished> unfinished = journal.unfinished();
    QVERIFY(unfinished);
    QCOMPARE(unfinished->list ? int(*unfinished->list) : -1, listBefore);
    QCOMPARE(journal.begin(138, generalRun ? kGeneral : kCustomer), uint16_t(137));
    QCOMPARE(int(*RunJournal(FPath).unfinished()->list), listAfter);
    QCOMPARE(journal.mayHaveFailed(), failure);
    const std::optional<RunJournal::ServerCopy> copy = journal.fetchedCopy(RunJournal::package("138.zlb"));
    QCOMPARE(copy ? copy->http.etag : QByteArray("-"), etag);
    // What was read is what the next run reads: rewritten whole on the next step.
    journal.markStarted(RunJournal::command(0, QStringLiteral("exec$a.exe")));
    RunJournal next(FPath);
    next.begin(138, kCustomer);
    QCOMPARE(next.mayHaveFailed(), failure);
    QCOMPARE(next.fetchedCopy(RunJournal::package("138.zlb")), copy);
}

// A copy as the server described it comes back as it was, whatever its validators hold.
void TestRunJournal::copyRoundTrip()
{
    const RunJournal::ServerCopy copy{{1536, "\"5f3a-600\"", "Tue, 08 Dec 2026 10:00:00 GMT"}, QByteArray(32, '\xab')};
    {
        RunJournal first(FPath);
        first.begin(137, kCustomer);
        first.markStarted(RunJournal::fileEntry(QStringLiteral("sub\\x y.dll")));
        first.markDone(RunJournal::fileEntry(QStringLiteral("sub\\x y.dll")), copy);
    }
    RunJournal next(FPath);
    next.begin(137, kCustomer);
    QVERIFY(next.isDone(RunJournal::fileEntry(QStringLiteral("sub\\x y.dll"))));
    QCOMPARE(next.fetchedCopy(RunJournal::fileEntry(QStringLiteral("sub\\x y.dll"))), copy);
    QVERIFY(!next.mayHaveFailed());
}

QTEST_GUILESS_MAIN(TestRunJournal)
#include "tst_runjournal.moc"
