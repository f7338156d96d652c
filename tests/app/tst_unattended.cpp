#include "ServerFixture.h"
#include "TestSupport.h"
#include "UpdaterProcess.h"
#include "WindowFixture.h"
#include "platform/ServerAddress.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryFile>
#include <QTest>

namespace {
// The built updater's file name: AutoUpdate.exe on Windows.
QString updaterName()
{
    return QFileInfo(QStringLiteral(KLV_AUTOUPDATE_EXE)).fileName();
}

const QString kList = QStringLiteral("/supports/whatsnewKEY1234567.klv");

} // namespace

// The program as a scheduled task runs it: a separate process, no person, an exit status.
class TestUnattended : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void fullUpdateWithConversion_data();
    void fullUpdateWithConversion();
    void failureOutcomes_data();
    void failureOutcomes();
    void furtherArgumentsIgnored();
    void conversionLeftWaiting();
    void unreachableServer();
    void wrongCredentials();
    void corruptPackage();
    void wrongUsage_data();
    void wrongUsage();
    void dryRunChangesNothing();
    void unreadableListRefused_data();
    void unreadableListRefused();
    void restartUnlessTold();
    void tricklingServerEnds();

private:
    // Runs the updater, by default from the installation folder; returns the exit status.
    int run(const QStringList &args, QByteArray *output = nullptr, const QString &server = QString(),
            const QString &workingDir = QString());
    void serveUpdate();

    WindowFixture F;
    ServerFixture S;
    QString FServerUrl;
};

void TestUnattended::initTestCase()
{
    QVERIFY(WindowFixture::prepareTemplates());
    QVERIFY(ServerFixture::addUser(QStringLiteral("4711"), QStringLiteral("KEY1234567")));
    QVERIFY(QFile::exists(QStringLiteral(KLV_AUTOUPDATE_EXE)));
}

void TestUnattended::init()
{
    F.setUp();
    FServerUrl = klv::unscrambleServerBase(S.setUp());
    // The updater runs from the installation folder, where its SQL scripts are.
    QVERIFY(QFile::copy(QStringLiteral(KLV_AUTOUPDATE_EXE), F.install + updaterName()));
    QFile::setPermissions(F.install + updaterName(), QFile::ExeOwner | QFile::ReadOwner | QFile::WriteOwner);
    QVERIFY(F.sql({"create table RUNLOG (NAME varchar(20))"}));
}

void TestUnattended::cleanup()
{
    F.tearDown();
    S.tearDown();
}

int TestUnattended::run(const QStringList &args, QByteArray *output, const QString &server, const QString &workingDir)
{
    return updaterprocess::run(
        {F.install + updaterName(), F.install, server.isEmpty() ? FServerUrl : server, workingDir}, args, output);
}

// A file package, a script package that makes a conversion wait, and a command.
void TestUnattended::serveUpdate()
{
    S.serve(kList, "[KLV137]\r\nhelp.dll=t3\r\n[SQL137]\r\nUPDATE=1011\r\n[CMD137]\r\nforcedupdate$=\r\n");
    S.servePackage(QStringLiteral("/supports/klv137/help.zlb"), {{QStringLiteral("help.dll"), "help 3"}});
    S.servePackage(QStringLiteral("/supports/u1011.zlb"),
                   {{QStringLiteral("u1011.sql"), "insert into RUNLOG values ('U1011')\r\n;\r\n"}});
}

void TestUnattended::fullUpdateWithConversion_data()
{
    QTest::addColumn<bool>("elsewhere");
    QTest::newRow("from the installation folder") << false;
    // A scheduled task starts in the system folder.
    QTest::newRow("from another folder") << true;
}

void TestUnattended::fullUpdateWithConversion()
{
    QFETCH(bool, elsewhere);
    serveUpdate();
    QByteArray out;
    const QString log = F.dir->filePath(QStringLiteral("run.log"));
    const QString other = F.dir->filePath(QStringLiteral("system32"));
    QVERIFY(QDir().mkpath(other));
    QCOMPARE(run({"0", "0", "KLV", "--unattended", "--convert", "--backup-made", "--no-restart", "--log", log}, &out,
                 QString(), elsewhere ? other : QString()),
             0);
    QVERIFY(QDir(other).isEmpty());
    QVERIFY2(out.contains("Download help.zlb"), out.constData());
    QVERIFY(out.contains("Vraag: Heeft u een backup van de database gemaakt? Ja"));
    QVERIFY(out.contains("SQL: insert into RUNLOG values ('U1011')"));
    QVERIFY(out.contains("Informatie: Conversie succesvol be\xC3\xAB"
                         "indigd"));
    QCOMPARE(testsupport::readFile(log), out.mid(out.indexOf("Download: whatsnew.klv")));
    QCOMPARE(testsupport::readFile(F.install + QStringLiteral("help.dll")), QByteArray("help 3"));
    QCOMPARE(F.column(QStringLiteral("select NAME from RUNLOG")), QStringList{"U1011"});
    QCOMPARE(testsupport::readFile(F.install + QStringLiteral("WeHave.klv")), QByteArray("help.dll=3\r\n"));
}

// Each way a run can fail is reported as a failure: its message, its line in AuError.txt where it
// has one, and exit status 1; none of them ends as a completed update.
void TestUnattended::failureOutcomes_data()
{
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("auError");

    const QByteArray premium = "[KLV137]\r\npremies.csv=t\r\n[CMD137]\r\npremielijst$premies.csv=\r\n";
    QTest::newRow("premium list: more rows than materials")
        << premium << "two rows" << QByteArray("niet ingelezen (regel 3: meer regels voor regio 07")
        << QByteArray("niet ingelezen (regel 3: meer regels voor regio 07");
    QTest::newRow("premium list: last field left empty")
        << premium << "empty last field" << QByteArray("niet ingelezen (regel 2: List index out of bounds (7))")
        << QByteArray("niet ingelezen (regel 2");
    QTest::newRow("exec of a program that is not there")
        << QByteArray("[CMD137]\r\nexec$setup.exe /S=\r\n") << ""
        << QByteArray("Script-fout: exec$setup.exe /S (bestand niet gevonden)")
        << QByteArray("Script-fout: exec$setup.exe /S (bestand niet gevonden)");
    QTest::newRow("KLV.EXE missing") << QByteArray("[KLV137]\r\n") << "no KLV.EXE"
                                     << QByteArray("Fout: De versie van KLV.EXE of de nummers van de updatescripts "
                                                   "kunnen niet worden gelezen: ")
                                     << QByteArray();
    QTest::newRow("stray update.sql") << QByteArray("[KLV137]\r\n") << "update.sql"
                                      << QByteArray("kunnen niet worden gelezen: ") << QByteArray();
    QTest::newRow("known-package list cannot be saved")
        << QByteArray("[KLV137]\r\nx.dll=t5\r\n") << "WeHave.klv folder" << QByteArray("WeHave.klv niet opslaan: ")
        << QByteArray("WeHave.klv niet opslaan: ");
}

void TestUnattended::failureOutcomes()
{
    QFETCH(QByteArray, list);
    QFETCH(QString, setup);
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, auError);
    S.serve(kList, list);
    S.servePackage(QStringLiteral("/supports/klv137/x.zlb"), {{QStringLiteral("x.dll"), "x"}});
    QVERIFY(F.sql(
        {"insert into ARNMATERIAAL values ('MAT00001', 'M1', 'T')", "update SYSPROPS set LASTSYSKEY = '00000100'"}));
    const QByteArray rows =
        setup == u"two rows" ? "07;M1;x;1;st;2;3;6\r\n07;M1;y;1;st;2;3;6\r\n" : "07;M1;x;1;st;2;3;\r\n";
    S.servePackage(QStringLiteral("/supports/klv137/premies.zlb"),
                   {{QStringLiteral("premies.csv"), "20261201 premies december\r\n" + rows}});
    if (setup == u"no KLV.EXE")
        QVERIFY(QFile::remove(F.install + QStringLiteral("KLV.EXE")));
    else if (setup == u"update.sql")
        F.putFile(QStringLiteral("update.sql"), "select 1\r\n;\r\n");
    else if (setup == u"WeHave.klv folder")
        QVERIFY(QDir().mkpath(F.install + QStringLiteral("WeHave.klv")));

    QByteArray out;
    QCOMPARE(run({"0", "0", "KLV", "--unattended", "--no-restart"}, &out), 1);
    QVERIFY2(out.contains(message), out.constData());
    QVERIFY2(out.contains("Update mislukt."), out.constData());
    QVERIFY(!out.contains("voltooid"));
    const QByteArray errors = testsupport::readFile(F.install + QStringLiteral("AuError.txt"));
    if (auError.isEmpty())
        QVERIFY(errors.isEmpty());
    else
        QVERIFY2(errors.contains(auError), errors.constData());
    QCOMPARE(F.column(QStringLiteral("select DAUTOUPDATE_SPP from SYSPROPS")), QStringList{""});
    QVERIFY(F.column(QStringLiteral("select * from ARNPREMIE")).isEmpty());
}

// The main application may pass more than three arguments; the first three count.
void TestUnattended::furtherArgumentsIgnored()
{
    S.serve(kList, "[KLV137]\r\n");
    QByteArray out;
    QCOMPARE(run({"0", "0", "KLV", "extra", "more", "--unattended", "--no-restart"}, &out), 0);
    QVERIFY2(out.contains("Informatie: Auto Update is voltooid."), out.constData());
}

void TestUnattended::conversionLeftWaiting()
{
    serveUpdate();
    QByteArray out;
    QCOMPARE(run({"0", "0", "KLV", "--unattended", "--no-restart"}, &out), 10);
    QVERIFY(out.contains("Informatie: Download is voltooid, start update indien nodig."));
    QCOMPARE(testsupport::readFile(F.install + QStringLiteral("help.dll")), QByteArray("help 3"));
    QVERIFY(F.column(QStringLiteral("select NAME from RUNLOG")).isEmpty());
    // Without --backup-made the backup question is answered No: the conversion does not start.
    QCOMPARE(run({"0", "0", "KLV", "--unattended", "--convert", "--no-restart"}, &out), 1);
    QVERIFY(out.contains("Informatie: Maak eerst een backup, voordat u de conversie draait!!!"));
    QVERIFY(F.column(QStringLiteral("select NAME from RUNLOG")).isEmpty());
}

void TestUnattended::unreachableServer()
{
    const QStringList before = updaterprocess::snapshot(F.install, F, {updaterName()});
    QByteArray out;
    QCOMPARE(run({"0", "0", "KLV", "--unattended", "--no-restart"}, &out, QStringLiteral("http://127.0.0.1:9")), 1);
    QCOMPARE(out.count("Website is niet beschikbaar, wilt u het opnieuw proberen? Ja"), 3);
    QCOMPARE(out.count("Website is niet beschikbaar, wilt u het opnieuw proberen? Nee"), 1);
    QVERIFY(out.contains("Update mislukt."));
    QCOMPARE(updaterprocess::snapshot(F.install, F, {updaterName()}), before);
}

void TestUnattended::wrongCredentials()
{
    serveUpdate();
    QVERIFY(F.sql({"update LICENSE set LICENSE = 'WRONGKEY00'"}));
    QByteArray out;
    QCOMPARE(run({"0", "0", "KLV", "--unattended", "--no-restart"}, &out), 1);
    QVERIFY2(out.contains("De updateserver weigert de klantcode van deze installatie (HTTP 401)"), out.constData());
    QVERIFY2(!out.contains("opnieuw proberen?"), out.constData()); // another try does not mend a refused key
    QVERIFY(!QFile::exists(F.install + QStringLiteral("help.dll")));
}

void TestUnattended::corruptPackage()
{
    serveUpdate();
    QByteArray bytes = testsupport::readFile(S.localPath(QStringLiteral("/supports/klv137/help.zlb")));
    bytes[2] = char(bytes[2] ^ 1);
    testsupport::writeFile(S.localPath(QStringLiteral("/supports/klv137/help.zlb")), bytes);
    testsupport::writeFile(F.install + QStringLiteral("help.dll"), "help 2");
    QByteArray out;
    QCOMPARE(run({"0", "0", "KLV", "--unattended", "--convert", "--backup-made", "--no-restart"}, &out), 1);
    QCOMPARE(testsupport::readFile(F.install + QStringLiteral("help.dll")), QByteArray("help 2"));
    QVERIFY(F.column(QStringLiteral("select NAME from RUNLOG")).isEmpty());
}

void TestUnattended::wrongUsage_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("unknown option") << QStringList{"--frobnicate"};
    QTest::newRow("convert without unattended") << QStringList{"--convert"};
    QTest::newRow("log without a file") << QStringList{"--unattended", "--log"};
    QTest::newRow("dry run that converts") << QStringList{"--dry-run", "--convert", "--backup-made"};
    QTest::newRow("rate without unattended") << QStringList{"--min-rate=100"};
    QTest::newRow("rate not a number") << QStringList{"--unattended", "--min-rate", "fast"};
    QTest::newRow("negative rate") << QStringList{"--unattended", "--min-rate=-5"};
    QTest::newRow("window of 0 seconds") << QStringList{"--unattended", "--rate-window", "0"};
    QTest::newRow("proxy and no proxy") << QStringList{"--proxy", "http://proxy:8080", "--no-proxy"};
    QTest::newRow("proxy without a port") << QStringList{"--unattended", "--proxy", "http://proxy"};
    QTest::newRow("https proxy") << QStringList{"--proxy=https://proxy:8080"};
}

void TestUnattended::wrongUsage()
{
    QFETCH(QStringList, args);
    QByteArray out;
    QCOMPARE(run(args, &out), 2);
    QVERIFY(out.contains("Gebruik: AutoUpdate"));
}

// A list that cannot be read is refused alike by a run and by a look at what a run would do.
void TestUnattended::unreadableListRefused_data()
{
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QString>("mode");
    const QByteArray utf16("\xFF\xFE[\0K\0L\0V\0001\0003\0007\0]\0\r\0\n\0", 20);
    for (const char *mode : {"--unattended", "--dry-run"}) {
        QTest::addRow("empty, %s", mode) << QByteArray() << mode;
        QTest::addRow("UTF-16, %s", mode) << utf16 << mode;
    }
}

void TestUnattended::unreadableListRefused()
{
    QFETCH(QByteArray, list);
    QFETCH(QString, mode);
    S.serve(kList, list);
    QByteArray out;
    QCOMPARE(run({"0", "0", "KLV", mode, "--no-restart"}, &out), 1);
    QVERIFY2(out.contains("is geen pakketlijst"), out.constData());
}

void TestUnattended::dryRunChangesNothing()
{
    QVERIFY(testsupport::makeVersionedExe(F.install + QStringLiteral("new.dll"), {{"FileVersion", "5.3.0.0"}}));
    QVERIFY(testsupport::makeVersionedExe(F.install + QStringLiteral("old.dll"), {{"FileVersion", "5.2.10.0"}}));
    testsupport::writeFile(F.install + QStringLiteral("WeHave.klv"), "klv.exe=136\n");
    S.serve(kList, "[KLV137]\r\nnew.dll=5.2.10.0\r\nold.dll=5.3.0.0\r\nklv.exe=137\r\nforced.dll=t\r\nbad.dll=T12\r\n"
                   "[SQL137]\r\nVERSIE=139\r\nUPDATE=1011\r\n[CMD137]\r\nquery$fix.sql=\r\n");
    const QStringList before = updaterprocess::snapshot(F.install, F, {updaterName()});
    QByteArray out;
    QCOMPARE(run({"0", "0", "KLV", "--dry-run"}, &out), 1); // bad.dll cannot be compared
    out.replace("\r\n", "\n");                              // text output has CR LF line ends on Windows
    QVERIFY2(out.contains("Bestand new.dll: versie, ge\xC3\xAFnstalleerd 5.3.0.0, gewenst 5.2.10.0: niet nodig"),
             out.constData());
    QVERIFY(out.contains("Bestand old.dll: versie, ge\xC3\xAFnstalleerd 5.2.10.0, gewenst 5.3.0.0: nodig"));
    QVERIFY(out.contains("Bestand klv.exe: genummerd, ge\xC3\xAFnstalleerd 136, gewenst 137: nodig"));
    QVERIFY(out.contains("Bestand forced.dll: geforceerd, ge\xC3\xAFnstalleerd -, gewenst -: nodig"));
    QVERIFY(out.contains("Bestand bad.dll: fout:"));
    QVERIFY(out.contains("Databasepakket: 138.zlb\nDatabasepakket: 139.zlb\nScriptpakket: u1011.zlb\n"
                         "Opdracht: query$fix.sql"));
    QCOMPARE(updaterprocess::snapshot(F.install, F, {updaterName()}), before);
    QCOMPARE(S.requests(), QStringList{kList}); // no package fetched
}

void TestUnattended::restartUnlessTold()
{
    S.serve(kList, "[KLV137]\r\n");
    QByteArray out;
    // Klv.exe (the KLV.EXE fixture) is started; on Linux it is no program this machine can start,
    // which the hand-over reports, while Windows runs it.
    QCOMPARE(run({"0", "0", "KLV", "--unattended"}, &out), 0);
#ifndef Q_OS_WIN
    QVERIFY2(out.contains("Fout: Kan Kelvora niet starten."), out.constData());
#endif
    QCOMPARE(run({"0", "0", "KLV", "--unattended", "--no-restart"}, &out), 0);
    QVERIFY(!out.contains("Kan Kelvora niet starten."));
    QVERIFY(out.contains("Informatie: Auto Update is voltooid."));
}

// A server that sends 100 bytes a second keeps no run alive for ever: with a minimum of 1024 bytes a
// second over 3 seconds each attempt ends after about 3 seconds, the attempts after it resume,
// and the run fails with the reason.
void TestUnattended::tricklingServerEnds()
{
    S.tearDown();
    FServerUrl = klv::unscrambleServerBase(S.setUp(ServerFixture::Speed::Trickle));
    S.serve(kList, "[KLV137]\r\nhelp.dll=t3\r\n");
    S.servePackage(QStringLiteral("/supports/klv137/help.zlb"), {{QStringLiteral("help.dll"), QByteArray(20000, 'h')}});
    QElapsedTimer clock;
    clock.start();
    QByteArray out;
    QCOMPARE(run({"0", "0", "KLV", "--unattended", "--no-restart", "--min-rate", "1024", "--rate-window=3"}, &out), 1);
    const qint64 elapsed = clock.elapsed();
    QVERIFY2(out.contains("De verbinding met de updateserver is verbroken of te traag."), out.constData());
    // The technical reason stays in the error log for whoever helps.
    QVERIFY(testsupport::readFile(F.install + QStringLiteral("AuError.txt"))
                .contains("slower than 1024 bytes per second for 3 seconds"));
    QVERIFY(out.contains("Update mislukt."));
    QVERIFY(!QFile::exists(F.install + QStringLiteral("help.dll")));
    // Four attempts of about 3 s with 2 s between them; far less than the 200 s the file needs.
    const QList<QPair<int, qint64>> answers = S.answers(QStringLiteral("/supports/klv137/help.zlb"));
    QCOMPARE(answers.size(), 4);
    QCOMPARE(answers.first().first, 200);
    for (qsizetype i = 1; i < answers.size(); ++i)
        QCOMPARE(answers[i].first, 206);
    QVERIFY2(elapsed < 35000, QByteArray::number(elapsed).constData());
}

QTEST_MAIN(TestUnattended)
#include "tst_unattended.moc"
