// Delta updates end to end: a release published with patches by the maker's tool, served by nginx,
// applied by the built updater; and every way a patch can fail falling back to the whole package.
#include "ServerFixture.h"
#include "TestSupport.h"
#include "UpdaterProcess.h"
#include "WindowFixture.h"
#include "platform/ServerAddress.h"
#include "platform/Sha256.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTest>

namespace {

const QString kListName = QStringLiteral("whatsnewKEY1234567.klv");
const QStringList kUnattended = {"0", "0", "KLV", "--unattended", "--convert", "--backup-made", "--no-restart"};
const QStringList kDryRun = {"0", "0", "KLV", "--dry-run"};

QString exeName(const char *path)
{
    return QFileInfo(QLatin1String(path)).fileName();
}

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &c : bytes)
        c = char(random.generate());
    return bytes;
}

// The same program from a later build: stretches rewritten here and there, and code added.
QByteArray laterBuild(QByteArray bytes, quint32 seed)
{
    QRandomGenerator random(seed);
    for (int i = 0; i < 12; ++i)
        bytes.replace(random.bounded(bytes.size() - 256), 256, randomBytes(256, random.generate()));
    bytes.insert(bytes.size() / 2, randomBytes(4096, seed));
    return bytes;
}

QString patchName(const QString &file, const QByteArray &base)
{
    return file + u'.' + QString::fromLatin1(klv::Sha256::hash(base).left(8).toHex()) + QStringLiteral(".klvpatch");
}

enum class Installed
{
    Released,      // the files of the earlier release
    ChangedByHand, // kelvora.dll changed after it was installed
    Missing        // kelvora.dll is not there
};

enum class Tamper
{
    FlippedByte, // a byte of the served patch changed after signing
    OtherBase,   // the maker's patch was made from another earlier file
    OtherPatch,  // the line's patch holds the patch of the other file
    OtherLength  // the list's line names another length for the result
};

} // namespace
Q_DECLARE_METATYPE(Installed)
Q_DECLARE_METATYPE(Tamper)

class TestDelta : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void patchesInsteadOfPackages_data();
    void patchesInsteadOfPackages();
    void patchesSaveTheLine();
    void tamperedPatchFallsBack_data();
    void tamperedPatchFallsBack();

private:
    // The earlier and the new release's programs folders, with files of `size` bytes.
    void makeReleases(qsizetype size);
    // Publishes the new release into the served tree, with patches from the earlier one or not.
    bool publish(bool withPatches, const QStringList &extra = {});
    bool sign();
    void install(Installed installed);
    int run(const char *exe, const QStringList &args, QByteArray *output);
    // The new release's files are installed, and nothing of the run is left behind.
    void checkUpdated();

    WindowFixture F;
    ServerFixture S;
    QTemporaryDir FWork;
    QString FOld, FNew;
    QByteArray FOldDll, FNewDll, FOldHelp, FNewHelp;
};

void TestDelta::initTestCase()
{
    QVERIFY(WindowFixture::prepareTemplates());
    QVERIFY(ServerFixture::addUser(QStringLiteral("4711"), QStringLiteral("KEY1234567")));
    QVERIFY(FWork.isValid());
}

void TestDelta::init()
{
    F.setUp();
    for (const char *exe : {KLV_AUTOUPDATE_EXE, KLV_STRICT_EXE}) {
        const QString target = F.install +
                               (exe == QLatin1String(KLV_STRICT_EXE) ? QStringLiteral("strict-") : QString()) +
                               exeName(KLV_AUTOUPDATE_EXE);
        QVERIFY(QFile::copy(QLatin1String(exe), target));
        QFile::setPermissions(target, QFile::ExeOwner | QFile::ReadOwner | QFile::WriteOwner);
    }
}

void TestDelta::cleanup()
{
    F.tearDown();
    S.tearDown();
}

void TestDelta::makeReleases(qsizetype size)
{
    FOld = FWork.filePath(QStringLiteral("release136"));
    FNew = FWork.filePath(QStringLiteral("release137"));
    QDir(FOld).removeRecursively();
    QDir(FNew).removeRecursively();
    FOldDll = randomBytes(size, 1);
    FNewDll = laterBuild(FOldDll, 2);
    FOldHelp = randomBytes(size / 4, 3);
    FNewHelp = laterBuild(FOldHelp, 4);
    testsupport::writeFile(FOld + QStringLiteral("/kelvora.dll"), FOldDll);
    testsupport::writeFile(FOld + QStringLiteral("/help.dll"), FOldHelp);
    testsupport::writeFile(FNew + QStringLiteral("/kelvora.dll"), FNewDll);
    testsupport::writeFile(FNew + QStringLiteral("/help.dll"), FNewHelp);
}

bool TestDelta::publish(bool withPatches, const QStringList &extra)
{
    QStringList args = {
        "release", "--release", "137",      "--programs",  FNew,       "--tree",  S.localPath(QString()),
        "--list",  kListName,   "--forced", "kelvora.dll", "--forced", "help.dll"};
    // A quick level: what the patches make is the same at every level, and the tests run in parallel.
    if (withPatches)
        args << "--previous" << FOld << "--patch-level"
             << "3";
    QByteArray output;
    const bool ok = testsupport::run(QStringLiteral(KLVPUBLISH_EXE), args + extra, &output, 240000) == 0;
    if (!ok)
        qWarning("%s", output.constData());
    return ok;
}

bool TestDelta::sign()
{
    QByteArray output;
    const bool ok = testsupport::run(QStringLiteral(KLVPUBLISH_EXE),
                                     {"sign", "--key", QStringLiteral(KLV_TEST_KEYS "/test-maker.key"), "--tree",
                                      S.localPath(QString())},
                                     &output) == 0;
    if (!ok)
        qWarning("%s", output.constData());
    return ok;
}

void TestDelta::install(Installed installed)
{
    QByteArray dll = FOldDll;
    if (installed == Installed::ChangedByHand)
        dll[100] = char(dll[100] ^ 0x55);
    QFile::remove(F.install + QStringLiteral("kelvora.dll"));
    if (installed != Installed::Missing)
        F.putFile(QStringLiteral("kelvora.dll"), dll);
    F.putFile(QStringLiteral("help.dll"), FOldHelp);
}

int TestDelta::run(const char *exe, const QStringList &args, QByteArray *output)
{
    const QString name =
        (exe == QLatin1String(KLV_STRICT_EXE) ? QStringLiteral("strict-") : QString()) + exeName(KLV_AUTOUPDATE_EXE);
    return updaterprocess::run({F.install + name, F.install, klv::unscrambleServerBase(F.serverBase)}, args, output);
}

void TestDelta::checkUpdated()
{
    QVERIFY(testsupport::readFile(F.install + QStringLiteral("kelvora.dll")) == FNewDll);
    QVERIFY(testsupport::readFile(F.install + QStringLiteral("help.dll")) == FNewHelp);
    const QStringList left = QDir(F.install).entryList({"*.klvpatch", "*.klvpart", "ZLB*.tmp", "*.zlb"}, QDir::Files);
    QVERIFY2(left.isEmpty(), qPrintable(left.join(u' ')));
}

void TestDelta::patchesInsteadOfPackages_data()
{
    QTest::addColumn<Installed>("installed");
    QTest::addColumn<QString>("dllPlan"); // the dry run's line for kelvora.dll
    QTest::addColumn<QString>("dllLog");  // the run's line for kelvora.dll, empty: none

    QTest::newRow("the earlier release") << Installed::Released << QStringLiteral("met patch %1 (") << QString();
    QTest::newRow("changed by hand") << Installed::ChangedByHand
                                     << QStringLiteral("het hele pakket kelvora.zlb (geen patch: de geïnstalleerde "
                                                       "versie is niet die waarvoor de patch is gemaakt)")
                                     << QStringLiteral("Geen patch voor kelvora.dll: de geïnstalleerde versie is niet "
                                                       "die waarvoor de patch is gemaakt. Het hele pakket kelvora.zlb "
                                                       "wordt opgehaald.");
    QTest::newRow("not installed") << Installed::Missing
                                   << QStringLiteral("het hele pakket kelvora.zlb (geen patch: er is geen eerdere "
                                                     "versie van het bestand)")
                                   << QStringLiteral("Geen patch voor kelvora.dll: er is geen eerdere versie van het "
                                                     "bestand. Het hele pakket kelvora.zlb wordt opgehaald.");
}

void TestDelta::patchesInsteadOfPackages()
{
    QFETCH(Installed, installed);
    QFETCH(QString, dllPlan);
    QFETCH(QString, dllLog);
    F.serverBase = S.setUp();
    makeReleases(300 * 1024);
    QVERIFY(publish(true));
    install(installed);
    const QString dllPatch = patchName(QStringLiteral("kelvora.dll"), FOldDll);
    const QString helpPatch = patchName(QStringLiteral("help.dll"), FOldHelp);

    QByteArray output;
    QCOMPARE(run(KLV_AUTOUPDATE_EXE, kDryRun, &output), 0);
    if (dllPlan.contains(QStringLiteral("%1")))
        dllPlan = dllPlan.arg(dllPatch);
    QVERIFY2(output.contains(("  " + dllPlan).toUtf8()), output.constData());
    QVERIFY2(output.contains(QStringLiteral("  met patch %1 (%2 bytes) in plaats van het hele pakket help.zlb")
                                 .arg(helpPatch)
                                 .arg(QFileInfo(S.localPath(QStringLiteral("/supports/klv137/") + helpPatch)).size())
                                 .toUtf8()),
             output.constData());

    QCOMPARE(run(KLV_AUTOUPDATE_EXE, kUnattended, &output), 0);
    checkUpdated();
    const QStringList requests = S.requests();
    const bool patched = installed == Installed::Released;
    QCOMPARE(requests.contains(QStringLiteral("/supports/klv137/") + dllPatch), patched);
    QCOMPARE(requests.contains(QStringLiteral("/supports/klv137/kelvora.zlb")), !patched);
    QVERIFY(requests.contains(QStringLiteral("/supports/klv137/") + helpPatch));
    QVERIFY(!requests.contains(QStringLiteral("/supports/klv137/help.zlb")));
    QVERIFY2(output.contains("Bijgewerkt met patch: help.dll"), output.constData());
    if (!dllLog.isEmpty())
        QVERIFY2(output.contains(dllLog.toUtf8()), output.constData());
}

// At a customer's 1 MB a second, a release of patches is over in a fraction of the time. The
// release is of a real one's size (25 MB), so that the time a run takes anyway (under Wine some
// seconds for starting processes) weighs as it does at a customer.
void TestDelta::patchesSaveTheLine()
{
    F.serverBase = S.setUp(ServerFixture::Speed::Line);
    makeReleases(20 * 1024 * 1024);
    QByteArray output;
    QElapsedTimer clock;
    qint64 elapsed[2] = {0, 0};
    for (const bool withPatches : {true, false}) {
        QVERIFY(publish(withPatches));
        install(Installed::Released);
        clock.start();
        QCOMPARE(run(KLV_AUTOUPDATE_EXE, kUnattended, &output), 0);
        elapsed[withPatches ? 0 : 1] = clock.elapsed();
        checkUpdated();
    }
    qInfo("with patches %lld ms, whole packages %lld ms: %.1f x", elapsed[0], elapsed[1],
          double(elapsed[1]) / double(qMax<qint64>(elapsed[0], 1)));
    QVERIFY2(elapsed[1] >= 5 * elapsed[0], "a release of patches should take at most a fifth of the time");
}

void TestDelta::tamperedPatchFallsBack_data()
{
    QTest::addColumn<Tamper>("tamper");
    QTest::addColumn<QString>("why");
    QTest::newRow("a byte flipped") << Tamper::FlippedByte
                                    << QStringLiteral("de SHA-256 klopt niet met de pakketlijst");
    QTest::newRow("made from another base") << Tamper::OtherBase << QStringLiteral("de patch is beschadigd");
    QTest::newRow("the line names the other file's patch")
        << Tamper::OtherPatch << QStringLiteral("de patch hoort bij een ander bestand");
    QTest::newRow("another result length") << Tamper::OtherLength << QStringLiteral("de patch maakt een bestand van");
}

// A build with the maker's key: a patch that is not what the maker's list says, or does not make
// what it says, is set aside and the whole (checked) package fetched; nothing half-applied stays.
void TestDelta::tamperedPatchFallsBack()
{
    QFETCH(Tamper, tamper);
    QFETCH(QString, why);
    F.serverBase = S.setUp();
    makeReleases(200 * 1024);
    const QString release = QStringLiteral("/supports/klv137/");
    const QString dllPatch = patchName(QStringLiteral("kelvora.dll"), FOldDll);
    const QString helpPatch = patchName(QStringLiteral("help.dll"), FOldHelp);
    if (tamper == Tamper::OtherBase) {
        // The maker's mistake: the patch of another earlier build under this one's name.
        const QString other = FWork.filePath(QStringLiteral("other136"));
        QDir(other).removeRecursively();
        // Of the same length, with the same code at other places.
        const QByteArray otherDll = FOldDll.mid(4096) + FOldDll.left(4096);
        testsupport::writeFile(other + QStringLiteral("/kelvora.dll"), otherDll);
        testsupport::writeFile(other + QStringLiteral("/help.dll"), FOldHelp);
        QVERIFY(publish(false, {"--previous", other, "--patch-level", "3"}));
        const QString made = S.localPath(release + patchName(QStringLiteral("kelvora.dll"), otherDll));
        QVERIFY(QFile::rename(made, S.localPath(release + dllPatch)));
        QByteArray list = testsupport::readFile(S.localPath(QStringLiteral("/supports/") + kListName));
        list.replace(patchName(QStringLiteral("kelvora.dll"), otherDll).toUtf8() + "=kelvora.dll;" +
                         klv::Sha256::hash(otherDll).toHex(),
                     dllPatch.toUtf8() + "=kelvora.dll;" + klv::Sha256::hash(FOldDll).toHex());
        S.serve(QStringLiteral("/supports/") + kListName, list);
    } else {
        QVERIFY(publish(true));
    }
    const QString listPath = QStringLiteral("/supports/") + kListName;
    QByteArray list = testsupport::readFile(S.localPath(listPath));
    const qsizetype line = list.indexOf(dllPatch.toUtf8() + '=');
    QVERIFY(line >= 0);
    if (tamper == Tamper::OtherPatch) {
        // The line's patch is served with the other file's patch in it, and signed so.
        S.serve(release + dllPatch, testsupport::readFile(S.localPath(release + helpPatch)));
    } else if (tamper == Tamper::OtherLength) {
        const QByteArray length = ';' + QByteArray::number(FNewDll.size()) + ';';
        const qsizetype at = list.indexOf(length, line);
        QVERIFY(at > line);
        list.replace(at, length.size(), ';' + QByteArray::number(FNewDll.size() + 1) + ';');
    }
    S.serve(listPath, list);
    QVERIFY(sign());
    if (tamper == Tamper::FlippedByte) {
        QByteArray patch = testsupport::readFile(S.localPath(release + dllPatch));
        patch[patch.size() / 2] = char(patch[patch.size() / 2] ^ 1);
        S.serve(release + dllPatch, patch);
    }
    install(Installed::Released);

    QByteArray output;
    QCOMPARE(run(KLV_STRICT_EXE, kUnattended, &output), 0);
    checkUpdated();
    QVERIFY2(output.contains(QStringLiteral("Patch %1 niet gebruikt: ").arg(dllPatch).toUtf8()), output.constData());
    QVERIFY2(output.contains(why.toUtf8()), output.constData());
    QVERIFY2(output.contains(". Het hele pakket kelvora.zlb wordt opgehaald."), output.constData());
    QVERIFY(S.requests().contains(release + QStringLiteral("kelvora.zlb")));
    QVERIFY2(output.contains("Bijgewerkt met patch: help.dll"), output.constData());
}

QTEST_GUILESS_MAIN(TestDelta)
#include "tst_delta.moc"
