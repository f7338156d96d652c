#include "AutoUpdateFrm.h"
#include "db/KlvDatabase.h"

#include "TestDatabases.h"
#include "TestSupport.h"
#include "WindowFixture.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSqlQuery>
#include <QTest>
#include <QTimer>

Q_DECLARE_METATYPE(QList<bool>)
#include <QToolButton>

using namespace klv;
using Kind = Dialogs::Kind;

namespace {
const QString kBackupQuestion = QStringLiteral("Heeft u een backup van de database gemaakt?");
const QString kBackupFirst = QStringLiteral("Maak eerst een backup, voordat u de conversie draait!!!");
const QString kDone = QStringLiteral("Conversie succesvol be\u00EBindigd");
const QString kWrongPassword = QStringLiteral("Wachtwoord is niet correct");

// A script that records its own name in RUNLOG when it runs.
QByteArray logging(const QByteArray &name, const QByteArray &header = {})
{
    return (header.isEmpty() ? QByteArray() : header + "\r\n") + "insert into RUNLOG values ('" + name + "')\r\n;\r\n";
}
} // namespace

// The conversion run, the service mode and one-off scripts, driven through the window.
class TestConversion : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void runOrder_data();
    void runOrder();
    void nothingToDoStillSucceeds();
    void backupNo();
    void missingScriptsChangeNothing_data();
    void missingScriptsChangeNothing();
    void failingStatementStopsRun();
    void changedScriptWayOut_data();
    void changedScriptWayOut();
    void longStatementKeepsWindowAlive_data();
    void longStatementKeepsWindowAlive();
    void otherUsersRefusedUnlessServiceMode();
    void stampTwiceOneDay();
    void servicePassword_data();
    void servicePassword();
    void doubleClicksToggle();
    void oneOffScript_data();
    void oneOffScript();
    void oneOffCancelledOrNo();
    void wholeFlowAsUser();

private:
    // Work waiting: database 137/1010, KLV.EXE wants 139, scripts up to U1012.
    void prepareWork(const QByteArray &header1011);
    QStringList runLog() { return F.column(QStringLiteral("select NAME from RUNLOG order by rowid")); }
    bool enabled(const char *name) { return F.child<QPushButton>(name)->isEnabled(); }
    void doubleClick(const char *name);

    WindowFixture F;
};

void TestConversion::initTestCase()
{
    QVERIFY(WindowFixture::prepareTemplates());
}

void TestConversion::init()
{
    F.setUp();
    QVERIFY(F.sql({"create table RUNLOG (NAME varchar(20))"}));
}

void TestConversion::cleanup()
{
    F.tearDown();
}

void TestConversion::prepareWork(const QByteArray &header1011)
{
    QVERIFY(F.putExe(QStringLiteral("139")));
    F.putFile(QStringLiteral("138.SQL"), logging("138.SQL"));
    F.putFile(QStringLiteral("139.sql"), logging("139.SQL"));
    F.putFile(QStringLiteral("U1011.SQL"), logging("U1011.SQL", header1011));
    F.putFile(QStringLiteral("u1012.sql"), logging("U1012.SQL"));
}

void TestConversion::doubleClick(const char *name)
{
    auto *widget = F.child<QWidget>(name);
    QVERIFY(widget);
    QTest::mouseDClick(widget, Qt::LeftButton);
}

void TestConversion::runOrder_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<QStringList>("order");
    QTest::newRow("header 138") << QByteArray("138") << QStringList{"138.SQL", "U1011.SQL", "U1012.SQL", "139.SQL"};
    QTest::newRow("no headers") << QByteArray() << QStringList{"U1011.SQL", "U1012.SQL", "138.SQL", "139.SQL"};
    QTest::newRow("header at the wanted version")
        << QByteArray("139") << QStringList{"138.SQL", "139.SQL", "U1011.SQL", "U1012.SQL"};
    QTest::newRow("header below the database")
        << QByteArray("100") << QStringList{"U1011.SQL", "U1012.SQL", "138.SQL", "139.SQL"};
}

void TestConversion::runOrder()
{
    QFETCH(QByteArray, header);
    QFETCH(QStringList, order);
    prepareWork(header);
    F.putFile(QStringLiteral("140.SQL"), logging("140.SQL"));
    F.create()->show();
    QVERIFY(enabled("BtnUpdate"));
    F.dialogs->queueAnswer(true);
    F.click("BtnUpdate");
    QCOMPARE(runLog(), order);
    QCOMPARE(F.dialogs->texts(Kind::Information), QStringList{kDone});
    QTRY_VERIFY(F.window.isNull()); // closed after success, Klv.exe started
    QCOMPARE(F.shell->executes.size(), 1);
}

void TestConversion::nothingToDoStillSucceeds()
{
    F.create()->show();
    QVERIFY(!enabled("BtnUpdate"));
    F.dialogs->queueAnswer(true);
    F.window->BtnUpdateClick();
    QCOMPARE(F.dialogs->texts(Kind::Confirmation), QStringList{kBackupQuestion});
    QCOMPARE(F.dialogs->texts(Kind::Information), QStringList{kDone});
    QVERIFY(runLog().isEmpty());
}

void TestConversion::backupNo()
{
    prepareWork("138");
    F.create()->show();
    F.dialogs->queueAnswer(false);
    F.click("BtnUpdate");
    QCOMPARE(F.dialogs->texts(Kind::Information), QStringList{kBackupFirst});
    QVERIFY(!enabled("BtnUpdate"));
    QVERIFY(enabled("BtnClose2"));
    QVERIFY(runLog().isEmpty());
}

// Plans that cannot be carried out whole are refused before the first script runs.
void TestConversion::missingScriptsChangeNothing_data()
{
    QTest::addColumn<QByteArray>("header"); // of U1011.SQL
    QTest::addColumn<QString>("missing");
    QTest::addColumn<QString>("message");
    QTest::newRow("139.SQL") << QByteArray("138") << "139.sql"
                             << "Niet alle benodigde conversie bestanden zijn aanwezig, conversie afgebroken!";
    QTest::newRow("U1012.SQL") << QByteArray("138") << "u1012.sql"
                               << "Niet alle benodigde update bestanden zijn aanwezig, conversie afgebroken!";
    // 140.SQL lies ready, but KLV.EXE wants 139: the header would pull it in.
    QTest::newRow("header beyond KLV.EXE")
        << QByteArray("140") << QString()
        << "Updatescript U1011.SQL vraagt databaseversie 140, maar KLV.EXE gaat niet verder dan versie 139, "
           "conversie afgebroken!";
}

void TestConversion::missingScriptsChangeNothing()
{
    QFETCH(QByteArray, header);
    QFETCH(QString, missing);
    QFETCH(QString, message);
    prepareWork(header);
    F.putFile(QStringLiteral("140.SQL"), logging("140.SQL"));
    F.create()->show();
    QVERIFY(missing.isEmpty() || QFile::remove(F.updater + missing));
    F.dialogs->queueAnswer(true);
    F.click("BtnUpdate");
    QCOMPARE(F.dialogs->texts(Kind::Information), QStringList{message});
    QVERIFY(runLog().isEmpty());
    QVERIFY(!enabled("BtnUpdate"));
    QVERIFY(!enabled("BtnClose2"));
    QVERIFY(F.window);
}

void TestConversion::failingStatementStopsRun()
{
    prepareWork("138");
    F.putFile(QStringLiteral("138.SQL"),
              "insert into RUNLOG values ('138 begin')\r\n;\r\ninsert into NOPE values (1)\r\n;\r\n");
    F.create()->show();
    F.dialogs->queueAnswer(true);
    F.click("BtnUpdate");
    QCOMPARE(runLog(), QStringList{"138 begin"});
    const QStringList info = F.dialogs->texts(Kind::Information);
    QCOMPARE(info.size(), 1);
    QVERIFY2(info[0].contains(QStringLiteral("NOPE")), qPrintable(info[0]));
    QVERIFY(testsupport::readFile(F.install + QStringLiteral("AuError.txt")).contains("EDBEngineError / "));
    QCOMPARE(F.window->FDbVersion, uint16_t{138}); // advanced, not rolled back
    QVERIFY(!enabled("BtnClose2"));
    QCOMPARE(F.child<QLabel>("LblVersie")->text(), QStringLiteral("138"));
    QCOMPARE(F.child<QPlainTextEdit>("Memo2")->toPlainText(), QStringLiteral("insert into NOPE values (1)"));
}

void TestConversion::changedScriptWayOut_data()
{
    QTest::addColumn<bool>("serviceMode");
    QTest::addColumn<QList<bool>>("answers"); // to "run it whole?" and "mark it done?"
    QTest::addColumn<QStringList>("log");     // RUNLOG afterwards
    QTest::newRow("refused") << false << QList<bool>{} << QStringList{"138 begin"};
    QTest::newRow("service mode, run whole")
        << true << QList<bool>{true} << QStringList{"138 begin", "138 begin", "138 again", "139.SQL"};
    QTest::newRow("service mode, marked done")
        << true << QList<bool>{false, true} << QStringList{"138 begin", "139.SQL"};
    QTest::newRow("service mode, neither") << true << QList<bool>{false, false} << QStringList{"138 begin"};
}

// 138.SQL stopped after its first statement, then came again with other bytes: nothing of it runs
// until somebody in the service mode, with the day's password, runs it whole or marks it done.
void TestConversion::changedScriptWayOut()
{
    QFETCH(bool, serviceMode);
    QFETCH(QList<bool>, answers);
    QFETCH(QStringList, log);
    prepareWork("138");
    F.putFile(QStringLiteral("U1011.SQL"), "select 1\r\n;\r\n");
    F.putFile(QStringLiteral("u1012.sql"), "select 1\r\n;\r\n");
    F.putFile(QStringLiteral("138.SQL"),
              "insert into RUNLOG values ('138 begin')\r\n;\r\ninsert into NOPE values (1)\r\n;\r\n");
    F.create()->show();
    F.dialogs->queueAnswer(true);
    F.click("BtnUpdate");
    QCOMPARE(runLog(), QStringList{"138 begin"});
    delete F.window.data();

    F.putFile(QStringLiteral("138.SQL"), "insert into RUNLOG values ('138 begin')\r\n;\r\n"
                                         "insert into RUNLOG values ('138 again')\r\n;\r\n");
    F.create()->show();
    if (serviceMode) {
        doubleClick("LblDbSql");
        F.child<QLineEdit>("EdPwd")->setText(QString::number(TFrmAutoUpdate::servicePassword(F.clock->today())));
    }
    F.dialogs->queueAnswer(true); // the backup
    for (const bool answer : answers)
        F.dialogs->queueAnswer(answer);
    F.click("BtnUpdate");
    QCOMPARE(runLog(), log);
    const QString info = F.dialogs->texts(Kind::Information).join(u'\n');
    const bool refused = log.size() == 1;
    QVERIFY2(info.contains(QStringLiteral("Het script 138.SQL is eerder tot en met statement 1 uitgevoerd en is "
                                          "sindsdien veranderd")) == refused,
             qPrintable(info));
    QVERIFY2(info.contains(kDone) == !refused, qPrintable(info));
}

void TestConversion::longStatementKeepsWindowAlive_data()
{
    QTest::addColumn<QString>("alias");
    QTest::newRow("sqlite") << "KLV";
    QTest::newRow("postgres") << "KPG";
}

// A statement of ten seconds and more: meanwhile the window paints, its timers tick, and a close
// is refused with the message, as under any other long work.
void TestConversion::longStatementKeepsWindowAlive()
{
    QFETCH(QString, alias);
    QVERIFY(F.putExe(QStringLiteral("138")));
    std::unique_ptr<testsupport::PgTestDatabase> pg;
    QByteArray statement;
    if (alias == u"KPG") {
        KLV_SKIP_WITHOUT_DRIVER(QStringLiteral("QPSQL"));
        pg = std::make_unique<testsupport::PgTestDatabase>();
        QVERIFY(pg->isValid());
        QVERIFY(testsupport::execAll(
            pg->connection(),
            {"insert into SYSPROPS (VERSIENUMMER, IUPDATE_SPP, DAUTOUPDATE_SPP) values (137, 1010, null)",
             "insert into SYSTEMINFO values ('07', '4711')", "insert into LICENSE values ('KEY1234567')",
             "create table RUNLOG (NAME varchar(20))"}));
        QVERIFY(pg->closeConnection());
        pg->addAlias(F.ini, alias);
        statement = "insert into RUNLOG select 'long' from (select pg_sleep(10.5)) s";
    } else {
        // A count that keeps SQLite busy for about eighteen seconds on this machine, as measured now:
        // still ten when the machine is much less busy by the time it runs (it was 13 seconds, and
        // a run under Wine beside other tests took 8).
        const QByteArray count = "select count(*) as n from (with recursive c(x) as (select 1 union all select x + 1 "
                                 "from c where x < %1) select x from c) q";
        QElapsedTimer probe;
        probe.start();
        QVERIFY(F.sql({QString::fromLatin1(count).arg(1000000)}));
        const qint64 rows = 1000000LL * 18000 / std::max<qint64>(1, probe.elapsed());
        statement = "insert into RUNLOG select 'long' from (" + QString::fromLatin1(count).arg(rows).toLatin1() + ") s";
    }
    F.putFile(QStringLiteral("138.SQL"), statement + "\r\n;\r\nupdate SYSPROPS set VERSIENUMMER = 138\r\n;\r\n");
    F.create({QStringLiteral("0"), QStringLiteral("0"), alias})->show();
    QVERIFY(enabled("BtnUpdate"));

    int paints = 0, ticks = 0;
    struct PaintCounter : QObject
    {
        int &count;
        explicit PaintCounter(int &c) : count(c) {}
        bool eventFilter(QObject *, QEvent *event) override
        {
            count += event->type() == QEvent::Paint;
            return false;
        }
    } counter(paints);
    F.window->installEventFilter(&counter);
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        ++ticks;
        if (F.window)
            F.window->update();
    });
    ticker.start(100);
    QTimer::singleShot(3000, F.window, [&] { F.window->close(); });
    F.dialogs->queueAnswer(true);
    QElapsedTimer clock;
    clock.start();
    F.click("BtnUpdate");
    const qint64 elapsed = clock.elapsed();
    ticker.stop();
    QVERIFY2(elapsed >= 10000, qPrintable(QString::number(elapsed)));
    // Ticks and paints all along (a frozen window gets none until the statement ends).
    QVERIFY2(ticks >= elapsed / 100 * 7 / 10, qPrintable(QStringLiteral("%1 ticks in %2 ms").arg(ticks).arg(elapsed)));
    QVERIFY2(paints >= ticks / 2, qPrintable(QStringLiteral("%1 paints, %2 ticks").arg(paints).arg(ticks)));
    const QStringList info = F.dialogs->texts(Kind::Information);
    QVERIFY2(info.contains(QStringLiteral("De database wordt bijgewerkt. Het venster kan pas worden gesloten als de "
                                          "conversie klaar is.")),
             qPrintable(info.join(u'\n')));
    QVERIFY2(info.contains(kDone), qPrintable(info.join(u'\n')));
    if (pg) {
        QSqlQuery q(pg->connection());
        QVERIFY(q.exec(QStringLiteral("select NAME from RUNLOG")) && q.next());
        QCOMPARE(q.value(0).toString(), QStringLiteral("long"));
    } else {
        QCOMPARE(runLog(), QStringList{"long"});
    }
}

void TestConversion::otherUsersRefusedUnlessServiceMode()
{
    KLV_SKIP_WITHOUT_DRIVER(QStringLiteral("QPSQL"));
    testsupport::PgTestDatabase pg;
    QVERIFY(pg.isValid());
    pg.addAlias(F.ini, QStringLiteral("PG"));
    QVERIFY(testsupport::execAll(
        pg.connection(), {"insert into SYSPROPS (VERSIENUMMER, IUPDATE_SPP, DAUTOUPDATE_SPP) values (137, 1010, null)",
                          "insert into SYSTEMINFO values ('03', '99')", "insert into LICENSE values ('PGKEY')",
                          "create table RUNLOG (NAME varchar(20))"}));
    F.putFile(QStringLiteral("u1011.sql"), "insert into RUNLOG values ('U1011')\r\n;\r\n");
    F.create({QStringLiteral("0"), QStringLiteral("0"), QStringLiteral("PG")})->show();
    F.dialogs->clear(); // the probe's own multi-user message
    F.dialogs->queueAnswer(true);
    F.click("BtnUpdate");
    QCOMPARE(F.dialogs->texts(Kind::Information),
             QStringList{QStringLiteral("Er zijn nog andere gebruikers actief. Sluit Kelvora op die P.C's")});
    QVERIFY(enabled("BtnUpdate"));
    QVERIFY(enabled("BtnClose2"));

    doubleClick("LblDbSql"); // service mode: the run goes ahead
    QVERIFY(!F.child<QLineEdit>("EdPwd")->isHidden());
    F.dialogs->clear();
    F.dialogs->queueAnswer(true);
    F.click("BtnUpdate");
    QCOMPARE(F.dialogs->texts(Kind::Information), QStringList{kDone});
    QSqlQuery q(pg.connection());
    QVERIFY(q.exec(QStringLiteral("select NAME from RUNLOG")) && q.next());
    QCOMPARE(q.value(0).toString(), QStringLiteral("U1011"));
}

void TestConversion::stampTwiceOneDay()
{
    QVERIFY(
        F.sql({"insert into SYSPROPS (VERSIENUMMER, IUPDATE_SPP, DAUTOUPDATE_SPP) values (136, 1000, '2020-01-01')"}));
    F.create()->show();
    F.window->StampAutoUpdateDate();
    F.window->StampAutoUpdateDate();
    QCOMPARE(F.column(QStringLiteral("select DAUTOUPDATE_SPP from SYSPROPS")),
             (QStringList{"2026-12-08", "2026-12-08"}));
}

void TestConversion::servicePassword_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("dayOffset"); // 0 today, -1 yesterday, 99 empty text
    QTest::addColumn<bool>("closes");
    QTest::newRow("today, Ophalen tab") << "BtnClose" << 0 << true;
    QTest::newRow("today, Update tab") << "BtnClose2" << 0 << true;
    QTest::newRow("yesterday") << "BtnClose" << -1 << false;
    QTest::newRow("empty") << "BtnClose2" << 99 << false;
}

void TestConversion::servicePassword()
{
    QFETCH(QString, button);
    QFETCH(int, dayOffset);
    QFETCH(bool, closes);
    F.create()->show();
    doubleClick("Panel1");
    auto *edit = F.child<QLineEdit>("EdPassword");
    QVERIFY(!edit->isHidden());
    if (dayOffset != 99)
        edit->setText(QString::number(TFrmAutoUpdate::servicePassword(F.clock->today().addDays(dayOffset))));
    F.click(button.toLatin1().constData());
    if (closes) {
        QTRY_VERIFY(F.window.isNull());
        QCOMPARE(F.column(QStringLiteral("select DAUTOUPDATE_SPP from SYSPROPS")), QStringList{"2026-12-08"});
        QVERIFY(F.dialogs->entries().isEmpty());
    } else {
        QCOMPARE(F.dialogs->texts(Kind::Error), QStringList{kWrongPassword});
        QTest::qWait(10);
        QVERIFY(F.window);
        QCOMPARE(F.column(QStringLiteral("select DAUTOUPDATE_SPP from SYSPROPS")), QStringList{""});
        doubleClick("Panel1"); // hidden again: closes without a password and without a stamp
        F.click(button.toLatin1().constData());
        QTRY_VERIFY(F.window.isNull());
        QCOMPARE(F.column(QStringLiteral("select DAUTOUPDATE_SPP from SYSPROPS")), QStringList{""});
    }
    // The value fits a signed 32-bit integer for the next century and a half.
    QVERIFY(TFrmAutoUpdate::servicePassword(QDate(2200, 12, 31)) > TFrmAutoUpdate::servicePassword(QDate(2026, 1, 1)));
}

void TestConversion::doubleClicksToggle()
{
    F.create()->show();
    doubleClick("LblDbSql");
    QVERIFY(!F.child<QToolButton>("SpdBtnLoad")->isHidden());
    QVERIFY(!F.child<QLineEdit>("EdPwd")->isHidden());
    doubleClick("LblDbSql");
    QVERIFY(F.child<QToolButton>("SpdBtnLoad")->isHidden());
    QVERIFY(F.child<QLineEdit>("EdPwd")->isHidden());
    doubleClick("Panel1");
    doubleClick("Panel1");
    QVERIFY(F.child<QLineEdit>("EdPassword")->isHidden());
}

void TestConversion::oneOffScript_data()
{
    QTest::addColumn<bool>("scrambled");
    QTest::addColumn<QByteArray>("header");
    QTest::newRow("plain") << false << QByteArray();
    QTest::newRow("scrambled with header") << true << QByteArray("138\r\n");
}

void TestConversion::oneOffScript()
{
    QFETCH(bool, scrambled);
    QFETCH(QByteArray, header);
    const QByteArray payload =
        header + "insert into RUNLOG values ('a')\r\n;\r\ninsert into RUNLOG values ('b')\r\nGO\r\n";
    F.putFile(QStringLiteral("em_fix.sql"), scrambled ? testsupport::scrambleScript(payload) : payload);
    F.create()->show();
    doubleClick("LblDbSql");
    F.child<QLineEdit>("EdPwd")->setText(QString::number(TFrmAutoUpdate::servicePassword(F.clock->today())));
    F.dialogs->queueFile(F.updater + QStringLiteral("em_fix.sql"));
    F.dialogs->queueAnswer(true);
    F.click("SpdBtnLoad");
    QCOMPARE(runLog(), (QStringList{"a", "b"}));
    QCOMPARE(F.child<QLabel>("LblUpdate")->text(), QStringLiteral("1"));
    QCOMPARE(F.dialogs->texts(Kind::Information), QStringList{QStringLiteral("Script succesvol be\u00EBindigd")});
    QVERIFY(enabled("BtnClose2"));
    QVERIFY(!enabled("BtnUpdate"));
}

void TestConversion::oneOffCancelledOrNo()
{
    prepareWork("138");
    F.create()->show();
    doubleClick("LblDbSql");
    F.click("SpdBtnLoad"); // wrong password: no dialog
    QCOMPARE(F.dialogs->texts(Kind::Error), QStringList{kWrongPassword});
    F.child<QLineEdit>("EdPwd")->setText(QString::number(TFrmAutoUpdate::servicePassword(F.clock->today())));
    F.dialogs->queueFile(QString()); // cancelled
    F.click("SpdBtnLoad");
    QVERIFY(enabled("BtnUpdate"));
    QVERIFY(enabled("BtnClose2"));
    F.dialogs->queueFile(F.updater + QStringLiteral("138.SQL"));
    F.dialogs->queueAnswer(false);
    F.click("SpdBtnLoad");
    QCOMPARE(F.dialogs->texts(Kind::Information), QStringList{kBackupFirst});
    QVERIFY(!enabled("BtnUpdate"));
    QVERIFY(enabled("BtnClose2"));
    QVERIFY(runLog().isEmpty());
}

void TestConversion::wholeFlowAsUser()
{
    prepareWork("138");
    F.create({QStringLiteral("0"), QStringLiteral("0"), QStringLiteral("KLV")})->show();
    QCOMPARE(F.text("LblEXE"), QStringLiteral("Versie KLV.EXE: 139"));
    QCOMPARE(F.text("LblUSql"), QStringLiteral("Versie uXXXX.sql: 1012"));
    F.dialogs->queueAnswer(true);
    F.click("BtnUpdate");
    QCOMPARE(runLog().size(), 4);
    QTRY_VERIFY(F.window.isNull());
    QCOMPARE(F.shell->executes.size(), 1);
    QCOMPARE(F.shell->executes[0].params, QStringLiteral("KLV"));
    // Found whatever the case: the name as the file system has it, or as given where the file
    // system ignores case.
    QVERIFY(QFileInfo::exists(F.shell->executes[0].file));
    QVERIFY(F.shell->executes[0].file.endsWith(QStringLiteral("KLV.EXE"), Qt::CaseInsensitive));
}

QTEST_MAIN(TestConversion)
#include "tst_conversion.moc"
