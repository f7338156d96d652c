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
#include <QPushButton>
#include <QTest>

using klv::Dialogs;
using Kind = Dialogs::Kind;
using namespace klv::signing;

namespace {
QString updaterName()
{
    return QFileInfo(QStringLiteral(KLV_AUTOUPDATE_EXE)).fileName();
}

const QString kList = QStringLiteral("/supports/whatsnewKEY1234567.klv");
const QString kHelp = QStringLiteral("/supports/klv137/help.zlb");
const QString kScripts = QStringLiteral("/supports/u1011.zlb");
const QString kCopy = QStringLiteral("/public/autoupdate2.exe");
const QByteArray kRelease =
    "[KLV137]\r\nhelp.dll=t3\r\n[SQL137]\r\nUPDATE=1011\r\n[CMD137]\r\nerasefile$victim.txt=\r\n";
const QStringList kUnattended = {"0", "0", "KLV", "--unattended", "--convert", "--backup-made", "--no-restart"};

QByteArray keyFile(const char *name)
{
    return testsupport::readFile(QStringLiteral(KLV_TEST_KEYS "/") + QLatin1String(name));
}
QByteArray makerSeed()
{
    return readSecretKeyText(keyFile("test-maker.key")).value_or(QByteArray());
}

enum class Tamper
{
    Nothing,
    ListByte,
    SignatureMissing,
    SignatureCut,
    OtherKey,
    Expired,
    PackageSwapped,
    PackageCut,
    NoLine
};
} // namespace
Q_DECLARE_METATYPE(Tamper)

// A build with the maker's key against a server that is not the maker: every way of changing what
// the maker published ends with nothing fetched, run or changed, and says why.
class TestSignedChannel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void tamperedUpdateIsRefused_data();
    void tamperedUpdateIsRefused();
    void replayedListIsRefused();
    void replacedUpdaterCopyIsRefused_data();
    void replacedUpdaterCopyIsRefused();
    void signedListWithoutKeysWorksAsBefore();
    void customerKeyStaysOutOfTheOutput();

private:
    int run(const QString &exe, QByteArray *output, const QStringList &args = kUnattended);
    // Serves the release with its seal and signature; the files in `leaveOut` get no digest line.
    void publish(uint64_t serial, const QDate &expires, const QStringList &leaveOut = {},
                 const QByteArray &seed = makerSeed());
    QStringList installation();
    // The digest line the served list has for a path.
    FileDigest seal(const QString &path) const;

    WindowFixture F;
    ServerFixture S;
    QString FServerUrl;
};

void TestSignedChannel::initTestCase()
{
    QVERIFY(WindowFixture::prepareTemplates());
    QVERIFY(ServerFixture::addUser(QStringLiteral("4711"), QStringLiteral("KEY1234567")));
    QVERIFY(QFile::exists(QStringLiteral(KLV_STRICT_EXE)));
}

void TestSignedChannel::init()
{
    F.setUp();
    F.serverBase = S.setUp();
    FServerUrl = klv::unscrambleServerBase(F.serverBase);
    // Both builds run from the installation folder under the updater's name, one at a time.
    for (const char *exe : {KLV_STRICT_EXE, KLV_AUTOUPDATE_EXE}) {
        const QString target =
            F.install + (exe == QLatin1String(KLV_STRICT_EXE) ? QStringLiteral("strict-") : QString()) + updaterName();
        QVERIFY(QFile::copy(QLatin1String(exe), target));
        QFile::setPermissions(target, QFile::ExeOwner | QFile::ReadOwner | QFile::WriteOwner);
    }
    QVERIFY(F.sql({"create table RUNLOG (NAME varchar(20))"}));
    F.putFile(QStringLiteral("victim.txt"), "the list's command erases this");
    S.servePackage(kHelp, {{QStringLiteral("help.dll"), "help 3"}});
    S.servePackage(kScripts, {{QStringLiteral("u1011.sql"), "insert into RUNLOG values ('U1011')\r\n;\r\n"}});
}

void TestSignedChannel::cleanup()
{
    F.tearDown();
    S.tearDown();
}

int TestSignedChannel::run(const QString &exe, QByteArray *output, const QStringList &args)
{
    return updaterprocess::run({F.install + exe, F.install, FServerUrl}, args, output);
}

void TestSignedChannel::publish(uint64_t serial, const QDate &expires, const QStringList &leaveOut,
                                const QByteArray &seed)
{
    ListSeal seal;
    for (const QString &path : {kHelp, kScripts}) {
        if (leaveOut.contains(path))
            continue;
        const QByteArray bytes = testsupport::readFile(S.localPath(path));
        seal.files.append({path.mid(1), klv::Sha256::hash(bytes), bytes.size()});
    }
    seal.serial = serial;
    seal.expires = expires;
    const QByteArray list = withSeal(kRelease, seal);
    S.serve(kList, list);
    S.serve(kList + QStringLiteral(".sig"), sign(list, seed));
}

// What a refused run must leave as it was: everything but the list it fetched, the lock, the
// journal that lets the run be carried on, the kept serial (checked on its own) and the error log.
QStringList TestSignedChannel::installation()
{
    const QString list = QFileInfo(kList).fileName();
    return updaterprocess::snapshot(F.install, F,
                                    {updaterName(), QStringLiteral("strict-") + updaterName(), list,
                                     list + QStringLiteral(".sig"), QStringLiteral("AutoUpdate.lock"),
                                     QStringLiteral("AutoUpdate.journal"), QStringLiteral("AutoUpdate.serial"),
                                     QStringLiteral("AuError.txt")});
}

FileDigest TestSignedChannel::seal(const QString &path) const
{
    const SealReading reading = readSeal(testsupport::readFile(S.localPath(kList)));
    const FileDigest *digest = reading.seal ? reading.seal->find(path.mid(1)) : nullptr;
    return digest ? *digest : FileDigest{};
}

void TestSignedChannel::tamperedUpdateIsRefused_data()
{
    QTest::addColumn<Tamper>("tamper");
    QTest::addColumn<QString>("message"); // empty: the run goes through
    QTest::addColumn<bool>("packageFetched");
    const QString listRefused = QStringLiteral("De pakketlijst whatsnew\u2026klv is geweigerd: ");
    QTest::newRow("as published") << Tamper::Nothing << QString() << true;
    QTest::newRow("list changed by one byte")
        << Tamper::ListByte << listRefused + QStringLiteral("de handtekening klopt niet") << false;
    QTest::newRow("signature missing") << Tamper::SignatureMissing
                                       << listRefused + QStringLiteral("de handtekening ontbreekt (HTTP/1.1 404")
                                       << false;
    QTest::newRow("signature cut") << Tamper::SignatureCut
                                   << listRefused + QStringLiteral("de handtekening is onvolledig (32 in plaats van 64")
                                   << false;
    QTest::newRow("signed by another key")
        << Tamper::OtherKey << listRefused + QStringLiteral("de handtekening klopt niet") << false;
    QTest::newRow("expired") << Tamper::Expired << listRefused + QStringLiteral("de lijst is verlopen op ") << false;
    QTest::newRow("package swapped for another valid one")
        << Tamper::PackageSwapped
        << QStringLiteral("Het bestand supports/klv137/help.zlb is geweigerd: de SHA-256 klopt niet met de pakketlijst")
        << true;
    QTest::newRow("package cut, with a length that fits the cut")
        << Tamper::PackageCut
        << QStringLiteral(
               "Het bestand supports/klv137/help.zlb is geweigerd: het is 40 bytes lang, de pakketlijst zegt ")
        << true;
    QTest::newRow("package without a digest line")
        << Tamper::NoLine
        << QStringLiteral(
               "Het bestand supports/klv137/help.zlb is geweigerd: de pakketlijst geeft er geen controlegetal "
               "voor")
        << false;
}

void TestSignedChannel::tamperedUpdateIsRefused()
{
    QFETCH(Tamper, tamper);
    QFETCH(QString, message);
    QFETCH(bool, packageFetched);
    const QDate today = QDate::currentDate();
    publish(5, tamper == Tamper::Expired ? today.addDays(-1) : today.addDays(30),
            tamper == Tamper::NoLine ? QStringList{kHelp} : QStringList{},
            tamper == Tamper::OtherKey ? readSecretKeyText(keyFile("other-maker.key")).value_or(QByteArray())
                                       : makerSeed());
    const QString signature = kList + QStringLiteral(".sig");
    switch (tamper) {
    case Tamper::ListByte: {
        QByteArray list = testsupport::readFile(S.localPath(kList));
        list[list.indexOf("t3") + 1] = '9';
        S.serve(kList, list);
        break;
    }
    case Tamper::SignatureMissing:
        S.remove(signature);
        break;
    case Tamper::SignatureCut:
        S.serve(signature, testsupport::readFile(S.localPath(signature)).left(32));
        break;
    case Tamper::PackageSwapped:
        // Of the same length, so that only the digest tells.
        S.servePackage(kHelp, {{QStringLiteral("help.dll"), "help 4"}});
        QCOMPARE(QFileInfo(S.localPath(kHelp)).size(), seal(kHelp).length);
        break;
    case Tamper::PackageCut:
        S.serve(kHelp, testsupport::readFile(S.localPath(kHelp)).left(40));
        break;
    default:
        break;
    }
    const QStringList before = installation();

    QByteArray out;
    const int status = run(QStringLiteral("strict-") + updaterName(), &out);
    const QStringList expectedRequests =
        packageFetched ? QStringList{kList, signature, kHelp} : QStringList{kList, signature};
    if (message.isEmpty()) {
        QCOMPARE(status, 0);
        QCOMPARE(testsupport::readFile(F.install + QStringLiteral("help.dll")), QByteArray("help 3"));
        QVERIFY(!QFile::exists(F.install + QStringLiteral("victim.txt")));
        QCOMPARE(F.column(QStringLiteral("select NAME from RUNLOG")), QStringList{QStringLiteral("U1011")});
        QCOMPARE(testsupport::readFile(F.install + QStringLiteral("AutoUpdate.serial")), QByteArray("serial=5\r\n"));
        QCOMPARE(S.requests(), (expectedRequests + QStringList{kScripts}));
        return;
    }
    QVERIFY2(status == 1, out.constData());
    QVERIFY2(out.contains(message.toUtf8()), out.constData());
    QVERIFY2(out.contains("Update mislukt."), out.constData());
    QVERIFY(!out.contains("voltooid"));
    QCOMPARE(S.requests(), expectedRequests);
    // Nothing unpacked, run or kept, and no piece of the refused package left behind.
    QCOMPARE(installation(), before);
    // A list refused keeps no serial; one accepted does, even when a file it names is refused.
    const bool listAccepted = tamper >= Tamper::PackageSwapped;
    QCOMPARE(QFile::exists(F.install + QStringLiteral("AutoUpdate.serial")), listAccepted);
    QVERIFY(!QFile::exists(F.install + QStringLiteral("help.zlb")));
    QVERIFY(!QFile::exists(F.install + QStringLiteral("help.zlb.klvpart")));
}

void TestSignedChannel::replayedListIsRefused()
{
    const QDate later = QDate::currentDate().addDays(30);
    publish(5, later);
    const QByteArray oldList = testsupport::readFile(S.localPath(kList));
    const QByteArray oldSignature = testsupport::readFile(S.localPath(kList + QStringLiteral(".sig")));
    publish(6, later);
    QByteArray out;
    QVERIFY2(run(QStringLiteral("strict-") + updaterName(), &out) == 0, out.constData());
    QCOMPARE(testsupport::readFile(F.install + QStringLiteral("AutoUpdate.serial")), QByteArray("serial=6\r\n"));

    // The maker's own earlier list, signed and not expired, served again.
    S.serve(kList, oldList);
    S.serve(kList + QStringLiteral(".sig"), oldSignature);
    F.putFile(QStringLiteral("victim.txt"), "erased again if the old list were taken");
    const QStringList before = installation();
    QCOMPARE(run(QStringLiteral("strict-") + updaterName(), &out), 1);
    QVERIFY2(out.contains("volgnummer 5 is lager dan het eerder aanvaarde 6; dit is een oude lijst"), out.constData());
    QCOMPARE(installation(), before);
    QCOMPARE(testsupport::readFile(F.install + QStringLiteral("AutoUpdate.serial")), QByteArray("serial=6\r\n"));
}

void TestSignedChannel::replacedUpdaterCopyIsRefused_data()
{
    QTest::addColumn<bool>("replaced");
    QTest::newRow("as published") << false;
    QTest::newRow("replaced on the server") << true;
}

void TestSignedChannel::replacedUpdaterCopyIsRefused()
{
    QFETCH(bool, replaced);
    // "Nieuwe AU" outside a run: the list that vouches for the copy is fetched first.
    S.serve(kCopy, "MZ the maker's updater");
    ListSeal seal;
    seal.files = {{kCopy.mid(1), klv::Sha256::hash("MZ the maker's updater"), 22}};
    seal.serial = 1;
    seal.expires = QDate::currentDate().addDays(1);
    const QByteArray list = withSeal(kRelease, seal);
    S.serve(kList, list);
    S.serve(kList + QStringLiteral(".sig"), sign(list, makerSeed()));
    if (replaced)
        S.serve(kCopy, QByteArray("MZ somebody else's").leftJustified(22, '!')); // of the same length
    F.publicKeys = {readPublicKeyText(keyFile("test-maker.pub")).value_or(QByteArray())};
    F.create()->show();
    F.dialogs->queueAnswer(true);
    F.click("BtnNewAU");
    QCOMPARE(S.requests(), (QStringList{kList, kList + QStringLiteral(".sig"), kCopy}));
    if (!replaced) {
        QCOMPARE(testsupport::readFile(F.install + QStringLiteral("autoupdate2.exe")),
                 QByteArray("MZ the maker's updater"));
        QTRY_VERIFY(F.window.isNull());
        return;
    }
    QVERIFY(!QFile::exists(F.install + QStringLiteral("autoupdate2.exe")));
    QVERIFY(!QFile::exists(F.install + QStringLiteral("autoupdate2.exe.klvpart")));
    const QStringList errors = F.dialogs->texts(Kind::Error) + F.dialogs->texts(Kind::Information);
    QVERIFY2(errors.join(u'\n').contains(QStringLiteral(
                 "Het bestand public/autoupdate2.exe is geweigerd: de SHA-256 klopt niet met de pakketlijst")),
             qPrintable(errors.join(u'\n')));
    QVERIFY(F.window); // no restart announced
}

void TestSignedChannel::signedListWithoutKeysWorksAsBefore()
{
    publish(5, QDate::currentDate().addDays(30));
    QByteArray out;
    QVERIFY2(run(updaterName(), &out) == 0, out.constData());
    QVERIFY(out.contains("updates worden niet op echtheid gecontroleerd"));
    QCOMPARE(testsupport::readFile(F.install + QStringLiteral("help.dll")), QByteArray("help 3"));
    QVERIFY(!QFile::exists(F.install + QStringLiteral("victim.txt")));
    // The build without keys fetches no signature and keeps no serial.
    QCOMPARE(S.requests(), (QStringList{kList, kHelp, kScripts}));
    QVERIFY(!QFile::exists(F.install + QStringLiteral("AutoUpdate.serial")));
}

void TestSignedChannel::customerKeyStaysOutOfTheOutput()
{
    // A refused signature, so that the list's name appears in a message as well.
    publish(5, QDate::currentDate().addDays(30));
    S.remove(kList + QStringLiteral(".sig"));
    const QString log = F.dir->filePath(QStringLiteral("run.log"));
    QByteArray out;
    QCOMPARE(run(QStringLiteral("strict-") + updaterName(), &out, kUnattended + QStringList{"--log", log}), 1);
    for (const QByteArray &text : {out, testsupport::readFile(log)}) {
        QVERIFY2(text.contains("whatsnew\u2026klv"), text.constData());
        QVERIFY2(!text.contains("KEY1234567"), text.constData());
    }
}

QTEST_MAIN(TestSignedChannel)
#include "tst_signedchannel.moc"
