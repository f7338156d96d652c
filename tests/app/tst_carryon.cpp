#include "ServerFixture.h"
#include "TestSupport.h"
#include "UpdaterProcess.h"
#include "WindowFixture.h"
#include "platform/ServerAddress.h"
#include "platform/Sha256.h"
#include "signing/Ed25519.h"
#include "signing/ListSeal.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

namespace {
QString updaterName()
{
    return QFileInfo(QStringLiteral(KLV_AUTOUPDATE_EXE)).fileName();
}

const QString kList = QStringLiteral("/supports/whatsnewKEY1234567.klv");
const QString kGeneralList = QStringLiteral("/supports/whatsnew.klv");
const QStringList kConverting{"0", "0", "KLV", "--unattended", "--convert", "--backup-made", "--no-restart"};
const QByteArray kWaiting = "De onderbroken update van release 137 wacht nog op de eigen pakketlijst";
const QString kX = QStringLiteral("/supports/klv137/x.zlb");
} // namespace

// A run that stopped is carried on by the next one with the work of its own release: not by
// another list, and with the packages as the server has them once a command failed.
class TestCarryOn : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void generalListLeavesOwnReleaseWaiting_data();
    void generalListLeavesOwnReleaseWaiting();
    void repairedPackageArrives_data();
    void repairedPackageArrives();

private:
    int run(QByteArray *output, const QString &exe = updaterName());
    // Serves the list as the maker publishes it: with `serial` > 0 sealed with x.zlb's digest and
    // signed with the tests' maker key.
    void serveList(const QByteArray &list, uint64_t serial);
    QString journal() const { return F.install + QStringLiteral("AutoUpdate.journal"); }

    QTemporaryDir FTemplates;
    WindowFixture F;
    ServerFixture S;
    QString FServerUrl;
};

void TestCarryOn::initTestCase()
{
    QVERIFY(WindowFixture::prepareTemplates());
    QVERIFY(ServerFixture::addUser(QStringLiteral("4711"), QStringLiteral("KEY1234567")));
    QVERIFY(QFile::exists(QStringLiteral(KLV_AUTOUPDATE_EXE)));
    QVERIFY(testsupport::makeVersionedExe(FTemplates.filePath(QStringLiteral("KLV138.EXE")),
                                          {{QStringLiteral("FileVersion"), QStringLiteral("5.3.0.0")},
                                           {QStringLiteral("IntegerVersion"), QStringLiteral("138")}}));
}

void TestCarryOn::init()
{
    F.setUp();
    FServerUrl = klv::unscrambleServerBase(S.setUp());
    // The updater, and the build with the tests' maker key, from the installation folder.
    for (const char *exe : {KLV_AUTOUPDATE_EXE, KLV_STRICT_EXE}) {
        const QString target =
            F.install + (exe == QLatin1String(KLV_STRICT_EXE) ? QStringLiteral("strict-") : QString()) + updaterName();
        QVERIFY(QFile::copy(QLatin1String(exe), target));
        QFile::setPermissions(target, QFile::ExeOwner | QFile::ReadOwner | QFile::WriteOwner);
    }
    QVERIFY(F.sql({"create table RUNLOG (NAME varchar(20))"}));
}

void TestCarryOn::cleanup()
{
    F.tearDown();
    S.tearDown();
}

int TestCarryOn::run(QByteArray *output, const QString &exe)
{
    return updaterprocess::run({F.install + exe, F.install, FServerUrl}, kConverting, output);
}

void TestCarryOn::serveList(const QByteArray &list, uint64_t serial)
{
    if (serial == 0) {
        S.serve(kList, list);
        return;
    }
    klv::signing::ListSeal seal;
    seal.list = kList.mid(10);
    const QByteArray x = testsupport::readFile(S.localPath(kX));
    seal.files.append({kX.mid(1), klv::Sha256::hash(x), x.size()});
    seal.serial = serial;
    seal.expires = QDate::currentDate().addDays(30);
    const QByteArray sealed = klv::signing::withSeal(list, seal);
    const QByteArray seed =
        klv::signing::readSecretKeyText(testsupport::readFile(QStringLiteral(KLV_TEST_KEYS "/test-maker.key")))
            .value_or(QByteArray());
    S.serve(kList, sealed);
    S.serve(kList + QStringLiteral(".sig"), klv::signing::sign(sealed, seed));
}

void TestCarryOn::generalListLeavesOwnReleaseWaiting_data()
{
    QTest::addColumn<bool>("tooLarge");
    QTest::newRow("own list missing") << false;
    QTest::newRow("own list refused") << true;
}

// The run stops after KLV.EXE was replaced. The next one cannot have the customer's list and takes
// the general one: it fails and keeps the journal, and the general list's work waits too. Once the
// customer's list is there again, the interrupted release is finished and the conversion runs.
void TestCarryOn::generalListLeavesOwnReleaseWaiting()
{
    QFETCH(bool, tooLarge);
    const QByteArray own = "[KLV137]\r\nKLV.EXE=5.3.0.0\r\nown.dll=t\r\n[SQL137]\r\nVERSIE=138\r\n"
                           "[CMD137]\r\nquery$own.sql=\r\n";
    S.serve(kList, own);
    S.servePackage(
        QStringLiteral("/supports/klv137/KLV.zlb"),
        {{QStringLiteral("KLV.EXE"), testsupport::readFile(FTemplates.filePath(QStringLiteral("KLV138.EXE")))}});
    QByteArray out;
    QCOMPARE(run(&out), 1); // own.zlb is not there yet
    QVERIFY2(out.contains("404"), out.constData());
    QVERIFY(QFile::exists(journal()));

    if (tooLarge)
        S.serveSparse(kList, 17 * 1024 * 1024);
    else
        S.remove(kList);
    for (const char *release : {"137", "138"}) {
        S.serve(kGeneralList, QByteArray("[KLV") + release + "]\r\ngeneral.dll=t\r\n");
        S.servePackage(QStringLiteral("/supports/klv%1/general.zlb").arg(QLatin1String(release)),
                       {{QStringLiteral("general.dll"), "general"}});
        const QByteArray journalBefore = testsupport::readFile(journal());
        QCOMPARE(run(&out), 1);
        // Windows' console output ends its lines in CR LF.
        QVERIFY2(QByteArray(out).replace("\r\n", "\n").contains("Downloaded: whatsnew.klv\n" + kWaiting),
                 out.constData());
        QVERIFY(!out.contains("voltooid"));
        QVERIFY(out.contains("Update mislukt."));
        QVERIFY(testsupport::readFile(F.install + QStringLiteral("AuError.txt")).contains(kWaiting));
        QCOMPARE(testsupport::readFile(journal()), journalBefore);
        QVERIFY(!QFile::exists(F.install + QStringLiteral("general.dll")));
        QVERIFY(!QFile::exists(F.install + QStringLiteral("whatsnew.klv")));
    }
    QCOMPARE(S.requestCount(QStringLiteral("/supports/klv137/general.zlb")) +
                 S.requestCount(QStringLiteral("/supports/klv138/general.zlb")),
             0);

    S.serve(kList, own);
    S.servePackage(QStringLiteral("/supports/klv137/own.zlb"),
                   {{QStringLiteral("own.dll"), "own"},
                    {QStringLiteral("own.sql"), "insert into RUNLOG values ('own')\r\n;\r\n"}});
    S.servePackage(QStringLiteral("/supports/138.zlb"),
                   {{QStringLiteral("138.SQL"), "insert into RUNLOG values ('138')\r\n;\r\n"
                                                "update SYSPROPS set VERSIENUMMER = 138\r\n;\r\n"}});
    QCOMPARE(run(&out), 0);
    QVERIFY2(out.contains("Vorige update wordt afgemaakt (release 137)."), out.constData());
    QVERIFY(out.contains("Informatie: Conversie succesvol be\xC3\xAB"
                         "indigd"));
    QCOMPARE(F.column(QStringLiteral("select NAME from RUNLOG")), (QStringList{"own", "138"}));
    QCOMPARE(F.column(QStringLiteral("select VERSIENUMMER from SYSPROPS")), QStringList{"138"});
    QCOMPARE(testsupport::readFile(F.install + QStringLiteral("own.dll")), QByteArray("own"));
    QVERIFY(!QFile::exists(journal()));
}

void TestCarryOn::repairedPackageArrives_data()
{
    QTest::addColumn<bool>("signedList");
    QTest::addColumn<bool>("earlierJournal");
    QTest::addColumn<QByteArray>("message");
    const QByteArray changed = "x.zlb is op de server veranderd sinds het werd opgehaald en wordt opnieuw uitgepakt.";
    QTest::newRow("journal of this version") << false << false << changed;
    // The list's digest tells, without a question to the server.
    QTest::newRow("signed list") << true << false << changed;
    // As the version before wrote it: no list, no copies, no failure; its packages are fetched again.
    QTest::newRow("journal of the version before")
        << false << true
        << QByteArray("x.zlb wordt opnieuw opgehaald en uitgepakt: welke versie eerder werd opgehaald, is niet "
                      "vastgelegd.");
}

// A command fails on a file of a forced package. Runs that carry on repeat it as long as the
// server's package is the same (asked for only if changed); once the maker repaired the file in
// the package, the next run fetches it, unpacks it and runs that command and the ones after it.
void TestCarryOn::repairedPackageArrives()
{
    QFETCH(bool, signedList);
    QFETCH(bool, earlierJournal);
    QFETCH(QByteArray, message);
    const QString exe = signedList ? QStringLiteral("strict-") + updaterName() : updaterName();
    const QByteArray list = "[KLV137]\r\nx.dll=t\r\n[CMD137]\r\nquery$x.sql=\r\nquery$after.sql=\r\n";
    const auto serveX = [this](const QByteArray &sql) {
        S.servePackage(kX, {{QStringLiteral("x.dll"), "x"},
                            {QStringLiteral("x.sql"), sql},
                            {QStringLiteral("after.sql"), "insert into RUNLOG values ('after')\r\n;\r\n"}});
    };
    serveX("insert into NO_SUCH_TABLE values ('x')\r\n;\r\n");
    serveList(list, signedList ? 5 : 0);
    QByteArray out;
    QCOMPARE(run(&out, exe), 1);
    QVERIFY2(out.contains("NO_SUCH_TABLE"), out.constData());
    if (earlierJournal) {
        QByteArray kept;
        for (const QByteArray &line : testsupport::readFile(journal()).split('\n'))
            if (!line.startsWith("list=") && !line.startsWith("copy=") && !line.startsWith("failed=") &&
                !line.isEmpty())
                kept += line + '\n';
        testsupport::writeFile(journal(), kept);
    } else {
        // Unchanged on the server: asked for only if changed (not at all when the signed list tells),
        // and the command fails again.
        QCOMPARE(run(&out, exe), 1);
        QVERIFY2(out.contains("NO_SUCH_TABLE") && !out.contains("x.zlb is op de server veranderd"), out.constData());
        QList<QPair<int, qint64>> answers{{200, QFileInfo(S.localPath(kX)).size()}};
        if (!signedList)
            answers.append({304, 0});
        QCOMPARE(S.answers(kX), answers);
    }
    QCOMPARE(F.column(QStringLiteral("select NAME from RUNLOG")), QStringList{});

    serveX("-- repaired: the table is RUNLOG\r\ninsert into RUNLOG values ('x')\r\n;\r\n");
    serveList(list, signedList ? 6 : 0);
    QCOMPARE(run(&out, exe), 0);
    QVERIFY2(out.contains(message), out.constData());
    QVERIFY(out.contains("Informatie: Auto Update is voltooid."));
    QCOMPARE(F.column(QStringLiteral("select NAME from RUNLOG")), (QStringList{"x", "after"}));
    QVERIFY(!QFile::exists(journal()));
}

QTEST_MAIN(TestCarryOn)
#include "tst_carryon.moc"
