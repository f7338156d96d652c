#include "ServerFixture.h"
#include "TestSupport.h"
#include "UpdaterProcess.h"
#include "WindowFixture.h"
#include "platform/ServerAddress.h"
#include "platform/Sha256.h"
#include "signing/Ed25519.h"
#include "signing/ListSeal.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
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
const QString kListName = QStringLiteral("whatsnewKEY1234567.klv");
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
    NoLine,
    OtherCustomer,      // its list and .sig of the same signing, at the serial accepted before
    OtherCustomerLater, // ... of a later signing
    GeneralList,
    NameInOtherCase,
    Unnamed // signed before lists were signed for their names
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
    void oversizedListLeavesNothing_data();
    void oversizedListLeavesNothing();
    void cutListIsFetchedWhole();

private:
    int run(const QString &exe, QByteArray *output, const QStringList &args = kUnattended);
    // Serves the release with its seal and signature, signed for `signedFor`, as this customer's
    // list; the files in `leaveOut` get no digest line.
    void publish(uint64_t serial, const QDate &expires, const QStringList &leaveOut = {},
                 const QByteArray &seed = makerSeed(), const QString &signedFor = kListName);
    // The installation's files and tables; with `withList` false the list and its .sig are left out.
    QStringList installation(bool withList = false);
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
                                const QByteArray &seed, const QString &signedFor)
{
    ListSeal seal;
    seal.list = signedFor;
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

// What a refused run must leave as it was: everything but the lock, the journal that lets the run
// be carried on, the kept serial (checked on its own), the error log and, unless asked for, the
// list it fetched.
QStringList TestSignedChannel::installation(bool withList)
{
    QStringList except = {updaterName(),
                          QStringLiteral("strict-") + updaterName(),
                          QStringLiteral("AutoUpdate.lock"),
                          QStringLiteral("AutoUpdate.journal"),
                          QStringLiteral("AutoUpdate.serial"),
                          QStringLiteral("AuError.txt")};
    if (!withList)
        except << kListName << kListName + QStringLiteral(".sig");
    return updaterprocess::snapshot(F.install, F, except);
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
    const QString otherCustomer =
        listRefused +
        QStringLiteral("de lijst is ondertekend onder een andere naam (de pakketlijst van een andere klant)");
    QTest::newRow("another customer's list, same signing") << Tamper::OtherCustomer << otherCustomer << false;
    QTest::newRow("another customer's list, later signing") << Tamper::OtherCustomerLater << otherCustomer << false;
    QTest::newRow("the general list under the customer's name")
        << Tamper::GeneralList << listRefused + QStringLiteral("de lijst is ondertekend als de algemene pakketlijst")
        << false;
    QTest::newRow("signed name in other case") << Tamper::NameInOtherCase << QString() << true;
    QTest::newRow("list of an older tree, without its name")
        << Tamper::Unnamed
        << listRefused + QStringLiteral("de ondertekening noemt de naam van de lijst niet (een lijst van een oudere "
                                        "klvpublish); de maker moet hem opnieuw ondertekenen met klvpublish sign")
        << false;
}

void TestSignedChannel::tamperedUpdateIsRefused()
{
    QFETCH(Tamper, tamper);
    QFETCH(QString, message);
    QFETCH(bool, packageFetched);
    const QDate today = QDate::currentDate();
    // Another customer's list is tried on an installation that accepted its own before.
    const bool acceptedBefore = tamper == Tamper::OtherCustomer || tamper == Tamper::OtherCustomerLater;
    qsizetype earlierRequests = 0;
    if (acceptedBefore) {
        publish(5, today.addDays(30));
        QByteArray out;
        QVERIFY2(run(QStringLiteral("strict-") + updaterName(), &out) == 0, out.constData());
        F.putFile(QStringLiteral("victim.txt"), "erased again if the other list were taken");
        earlierRequests = S.requests().size();
    }
    const QString signedFor = acceptedBefore                      ? QStringLiteral("whatsnewOTHER7654.klv")
                              : tamper == Tamper::GeneralList     ? QStringLiteral("whatsnew.klv")
                              : tamper == Tamper::NameInOtherCase ? kListName.toUpper()
                              : tamper == Tamper::Unnamed         ? QString()
                                                                  : kListName;
    publish(
        tamper == Tamper::OtherCustomerLater ? 6 : 5, tamper == Tamper::Expired ? today.addDays(-1) : today.addDays(30),
        tamper == Tamper::NoLine ? QStringList{kHelp} : QStringList{},
        tamper == Tamper::OtherKey ? readSecretKeyText(keyFile("other-maker.key")).value_or(QByteArray()) : makerSeed(),
        signedFor);
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
    // A list that is refused leaves the one accepted before (or none) as it was.
    const bool listAccepted = message.isEmpty() || (tamper >= Tamper::PackageSwapped && tamper <= Tamper::NoLine);
    const QStringList before = installation(!listAccepted);

    QByteArray out;
    const int status = run(QStringLiteral("strict-") + updaterName(), &out);
    const QStringList expectedRequests =
        packageFetched ? QStringList{kList, signature, kHelp} : QStringList{kList, signature};
    const QStringList requests = S.requests().mid(earlierRequests);
    if (message.isEmpty()) {
        QCOMPARE(status, 0);
        QCOMPARE(testsupport::readFile(F.install + QStringLiteral("help.dll")), QByteArray("help 3"));
        QVERIFY(!QFile::exists(F.install + QStringLiteral("victim.txt")));
        QCOMPARE(F.column(QStringLiteral("select NAME from RUNLOG")), QStringList{QStringLiteral("U1011")});
        QCOMPARE(testsupport::readFile(F.install + QStringLiteral("AutoUpdate.serial")), QByteArray("serial=5\r\n"));
        QCOMPARE(requests, (expectedRequests + QStringList{kScripts}));
        return;
    }
    QVERIFY2(status == 1, out.constData());
    QVERIFY2(out.contains(message.toUtf8()), out.constData());
    QVERIFY2(out.contains("Update mislukt."), out.constData());
    QVERIFY(!out.contains("voltooid"));
    QVERIFY2(!out.contains("OTHER7654"), out.constData()); // another customer's key is not shown
    QCOMPARE(requests, expectedRequests);
    // Nothing unpacked, run or kept, and no piece of the refused package or list left behind.
    QCOMPARE(installation(!listAccepted), before);
    if (!listAccepted) {
        const QByteArray errors = testsupport::readFile(F.install + QStringLiteral("AuError.txt"));
        QVERIFY2(errors.contains(message.mid(message.indexOf(u':') + 2).toLatin1()), errors.constData());
        QVERIFY2(!errors.contains("KEY1234567"), errors.constData());
    }
    // A list refused keeps no serial; one accepted does, even when a file it names is refused.
    QCOMPARE(QFile::exists(F.install + QStringLiteral("AutoUpdate.serial")), listAccepted || acceptedBefore);
    if (acceptedBefore)
        QCOMPARE(testsupport::readFile(F.install + QStringLiteral("AutoUpdate.serial")), QByteArray("serial=5\r\n"));
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

    // Without the kept serial the old list gets in again; the log at least says why.
    QVERIFY(QFile::remove(F.install + QStringLiteral("AutoUpdate.serial")));
    QCOMPARE(run(QStringLiteral("strict-") + updaterName(), &out), 0);
    QVERIFY2(out.contains("Let op: AutoUpdate.serial ontbreekt, maar deze installatie heeft eerder ondertekende "
                          "pakketlijsten aanvaard"),
             out.constData());
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
    seal.list = kListName;
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

void TestSignedChannel::oversizedListLeavesNothing_data()
{
    QTest::addColumn<bool>("signatureTooLarge"); // else the list
    QTest::addColumn<bool>("announced");         // else sent in chunks, without a length
    QTest::newRow("list, announced") << false << true;
    QTest::newRow("signature, announced") << true << true;
    QTest::newRow("list, in chunks") << false << false;
    QTest::newRow("signature, in chunks") << true << false;
}

// A server that sends 256 MB where a list or its signature is asked for: refused before the body is
// taken, nothing kept, and the memory stays that of an ordinary run.
void TestSignedChannel::oversizedListLeavesNothing()
{
#ifdef _WIN32
    QSKIP("the peak memory of a run is measured with GNU time, on Linux");
#endif
    QFETCH(bool, signatureTooLarge);
    QFETCH(bool, announced);
    constexpr qint64 kHuge = 256LL * 1024 * 1024;
    // The reference: the same build's peak on a run that refuses a small list.
    publish(5, QDate::currentDate().addDays(30), {}, makerSeed(), QStringLiteral("whatsnew.klv"));
    QByteArray out;
    qint64 reference = 0;
    QCOMPARE(updaterprocess::run({F.install + QStringLiteral("strict-") + updaterName(), F.install, FServerUrl},
                                 kUnattended, &out, &reference),
             1);
    QVERIFY(reference > 0);

    if (!announced) {
        S.tearDown();
        F.serverBase = S.setUp(ServerFixture::Speed::Chunked);
        FServerUrl = klv::unscrambleServerBase(F.serverBase);
        publish(5, QDate::currentDate().addDays(30));
    }
    const QString huge = signatureTooLarge ? kList + QStringLiteral(".sig") : kList;
    S.serveSparse(huge, kHuge);
    const QStringList before = installation(true);
    qint64 peak = 0;
    QCOMPARE(updaterprocess::run({F.install + QStringLiteral("strict-") + updaterName(), F.install, FServerUrl},
                                 kUnattended, &out, &peak),
             1);
    QVERIFY2(out.contains("Update mislukt."), out.constData());
    if (announced)
        QVERIFY2(out.contains(signatureTooLarge ? "de server kondigt 268435456 bytes aan, een handtekening heeft er 64"
                                                : "de server kondigt 268435456 bytes aan, meer dan de 16777216 die "
                                                  "een pakketlijst mag hebben"),
                 out.constData());
    QCOMPARE(installation(true), before);
    for (const QString &name : QDir(F.install).entryList(QDir::Files))
        QVERIFY2(!name.startsWith(QStringLiteral("whatsnew")), qPrintable(name));
    // The body was not read: what the server managed to send before the refusal is a fraction.
    for (const auto &[status, bytes] : S.answers(huge))
        QVERIFY2(bytes < kHuge / 8, qPrintable(QString::number(bytes)));
    const qint64 peakMb = peak / 1024;
    qInfo("peak RSS %lld MB, reference %lld MB", peakMb, reference / 1024);
    QVERIFY2(peak < reference + 8 * 1024, qPrintable(QString::number(peakMb)));
#ifndef KLV_SANITIZED // the sanitizers' own bookkeeping takes more than the updater
    QVERIFY2(peakMb < 64, qPrintable(QString::number(peakMb)));
#endif
}

// A list cut off and changed on the server before the next run: the next run fetches it whole
// instead of piecing the new list's end onto the old one's start.
void TestSignedChannel::cutListIsFetchedWhole()
{
    S.tearDown();
    F.serverBase = S.setUp(ServerFixture::Speed::Slow); // 256 KB a second: a megabyte takes four
    FServerUrl = klv::unscrambleServerBase(F.serverBase);
    S.servePackage(kHelp, {{QStringLiteral("help.dll"), "help 3"}});
    S.servePackage(kScripts, {{QStringLiteral("u1011.sql"), "insert into RUNLOG values ('U1011')\r\n;\r\n"}});
    F.putFile(QStringLiteral("second.txt"), "the changed list erases this");
    const QByteArray padding = "; " + QByteArray(1024 * 1024, 'x') + "\r\n";
    S.serve(kList, padding + kRelease);

    QProcess first;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KLV_INSTALL_DIR"), F.install);
    env.insert(QStringLiteral("KLV_UPDATE_SERVER"), FServerUrl);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    first.setProcessEnvironment(env);
    first.setWorkingDirectory(F.install);
    first.setStandardOutputFile(QProcess::nullDevice());
    first.start(F.install + updaterName(), kUnattended);
    QVERIFY(first.waitForStarted());
    // Killed once a part of the list has arrived.
    const QString partial = F.install + kListName + QStringLiteral(".klvtmp.klvpart");
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(partial).size() > 100 * 1024, 30000);
    first.kill();
    QVERIFY(first.waitForFinished());

    // The same length, another command at the end.
    QByteArray changed = kRelease;
    changed.replace("erasefile$victim.txt", "erasefile$second.txt");
    S.serve(kList, padding + changed);
    QByteArray out;
    QVERIFY2(run(updaterName(), &out) == 0, out.constData());
    QVERIFY(QFile::exists(F.install + QStringLiteral("victim.txt")));
    QVERIFY(!QFile::exists(F.install + QStringLiteral("second.txt")));
    QCOMPARE(testsupport::readFile(F.install + kListName), padding + changed);
    const auto answers = S.answers(kList);
    QCOMPARE(answers.size(), 2);
    QCOMPARE(answers.last().first, 200); // asked whole, not for the rest (206)
    QCOMPARE(answers.last().second, qint64(padding.size() + changed.size()));
}

QTEST_MAIN(TestSignedChannel)
#include "tst_signedchannel.moc"
