#include "platform/Exceptions.h"
#include "platform/FileOps.h"
#include "platform/Folders.h"
#include "platform/InstallLock.h"

#include "TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

using namespace klv;

// What keeps the installation folder whole: names that may not leave it, state files written in
// one step, the leftovers of interrupted work, and the lock that lets one updater in at a time.
class TestInstallFolder : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void staysInside_data();
    void staysInside();
    void leftoversRemoved_data();
    void leftoversRemoved();
    void atomicWriteKeepsOldFile();
    void atomicWriteOnFullDisk();
    void lockRefusesSecond();
    void lockLeftBehindIsTakenOver();
    void lockInMissingFolder();
    void lockThroughLinkRefused_data();
    void lockThroughLinkRefused();
};

void TestInstallFolder::staysInside_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("inside");
    QTest::newRow("plain name") << "klv.exe" << true;
    QTest::newRow("subfolder") << "sub\\help.dll" << true;
    QTest::newRow("slash as separator") << "sub/help.dll" << true;
    QTest::newRow("down and back up") << "sub\\..\\help.dll" << true;
    QTest::newRow("current folder") << ".\\help.dll" << true;
    QTest::newRow("trailing dot in a name") << "help.dll." << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("one up") << "..\\evil.dll" << false;
    QTest::newRow("one up with slashes") << "../evil.dll" << false;
    QTest::newRow("mixed separators") << "sub/..\\..\\evil.dll" << false;
    QTest::newRow("up after down twice") << "a\\b\\..\\..\\..\\evil.dll" << false;
    QTest::newRow("rooted backslash") << "\\Windows\\evil.dll" << false;
    QTest::newRow("rooted slash") << "/etc/evil" << false;
    QTest::newRow("server share") << "\\\\server\\share\\evil.dll" << false;
    QTest::newRow("drive") << "C:\\evil.dll" << false;
    QTest::newRow("drive-relative") << "C:evil.dll" << false;
    QTest::newRow("stream of a file") << "klv.exe:evil" << false;
    // Windows drops trailing dots and blanks: these climb there.
    QTest::newRow("dot dot blank") << ".. \\evil.dll" << false;
    QTest::newRow("three dots") << "...\\evil.dll" << false;
    QTest::newRow("only dots") << ".." << false;
}

void TestInstallFolder::staysInside()
{
    QFETCH(QString, name);
    QFETCH(bool, inside);
    QCOMPARE(Folders::staysInside(name), inside);
}

void TestInstallFolder::leftoversRemoved_data()
{
    QTest::addColumn<bool>("keepPartials");
    QTest::newRow("no run to carry on") << false;
    QTest::newRow("a run to carry on") << true;
}

void TestInstallFolder::leftoversRemoved()
{
    QFETCH(bool, keepPartials);
    QTemporaryDir dir;
    const QString root = dir.path() + u'/';
    const QStringList temporary{"WeHave.klv.klvtmp", "sub/ZLBa1B2c3.tmp", "klv.zlb.Xy12Ab", "sub/deep/ZLB000000.tmp"};
    const QStringList partial{"klv.zlb.klvpart", "klv.zlb.klvpart.info", "sub/help.zlb.klvpart"};
    // Names that only look alike are the installation's own files.
    const QStringList own{"ZLB.tmp",   "notes.tmp",         "klv.zlb",           "klv.zlb.backup7",
                          "sub/x.dll", "readme.klvtmp.txt", "ZLBa1B2c3.tmp.txt", "klvpart"};
    for (const QString &name : temporary + partial + own) {
        QDir().mkpath(QFileInfo(root + name).absolutePath());
        testsupport::writeFile(root + name, "x");
    }
    const int removed = removeLeftovers(root, keepPartials);
    QStringList left;
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        left << it.next().mid(root.size());
    left.sort();
    QStringList expected = own + (keepPartials ? partial : QStringList());
    expected.sort();
    QCOMPARE(left, expected);
    QCOMPARE(removed, int(temporary.size() + (keepPartials ? 0 : partial.size())));
}

void TestInstallFolder::atomicWriteKeepsOldFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("WeHave.klv"));
    writeFileAtomically(path, "old\r\n");
    QCOMPARE(testsupport::readFile(path), QByteArray("old\r\n"));
    QVERIFY(!QFile::exists(atomicTempName(path)));
    // The temporary file cannot be made: the old file stays, and the message names the file.
    QVERIFY(QDir().mkpath(atomicTempName(path)));
    try {
        writeFileAtomically(path, "new\r\n");
        QFAIL("no error");
    } catch (const EInOutError &e) {
        QVERIFY2(e.message().contains(QStringLiteral("WeHave.klv")), qPrintable(e.message()));
    }
    QCOMPARE(testsupport::readFile(path), QByteArray("old\r\n"));
}

// A volume with a few pages left: the write fails at the flush, the message says the disk is
// full, and neither the old file nor a cut new one is taken for the new one.
void TestInstallFolder::atomicWriteOnFullDisk()
{
#ifdef _WIN32
    QSKIP("A small volume of its own is made with a Linux mount");
#else
    if (geteuid() != 0)
        QSKIP("Mounting a small volume needs root");
    QTemporaryDir dir;
    const QString mount = dir.filePath(QStringLiteral("small"));
    QVERIFY(QDir().mkpath(mount));
    QCOMPARE(testsupport::run(QStringLiteral("mount"), {"-t", "tmpfs", "-o", "size=64k", "tmpfs", mount}), 0);
    const auto unmount = qScopeGuard([&] { testsupport::run(QStringLiteral("umount"), {mount}); });
    const QString path = mount + QStringLiteral("/WeHave.klv");
    writeFileAtomically(path, "klv.exe=137\r\n");
    // Fill the volume, leaving less than the new file needs.
    QFile filler(mount + QStringLiteral("/filler"));
    QVERIFY(filler.open(QIODevice::WriteOnly));
    const QByteArray page(4096, 'f');
    while (filler.write(page) == page.size() && filler.flush()) {
    }
    filler.close();
    QFile::resize(filler.fileName(), filler.size() - 4096);
    try {
        writeFileAtomically(path, QByteArray(20000, 'n'));
        QFAIL("no error");
    } catch (const EInOutError &e) {
        QVERIFY2(e.message().contains(QStringLiteral("Schijf vol")), qPrintable(e.message()));
    }
    QCOMPARE(testsupport::readFile(path), QByteArray("klv.exe=137\r\n"));
    QVERIFY(!QFile::exists(atomicTempName(path)));
    QVERIFY(QFile::remove(filler.fileName()));
    writeFileAtomically(path, QByteArray(20000, 'n'));
    QCOMPARE(testsupport::readFile(path).size(), 20000);
#endif
}

void TestInstallFolder::lockRefusesSecond()
{
    QTemporaryDir dir;
    const QString install = dir.path() + u'/';
    const QDateTime started(QDate(2026, 12, 9), QTime(10, 0, 12));
    {
        InstallLock first(install);
        QVERIFY(first.tryLock(started));
        InstallLock second(install);
        QVERIFY(!second.tryLock(started));
        QVERIFY(second.errorText().isEmpty());
        QCOMPARE(second.holder(),
                 QStringLiteral("proces %1, gestart 09-12-2026 10:00:12").arg(QCoreApplication::applicationPid()));
        QVERIFY2(
            second.refusalText().startsWith(QStringLiteral("AutoUpdate is al actief voor deze installatie (proces")),
            qPrintable(second.refusalText()));
        QVERIFY(first.isLocked());
        QVERIFY(!second.isLocked());
    }
    // Released and gone with its holder; the next one gets it.
    QVERIFY(!QFile::exists(install + InstallLock::fileName()));
    InstallLock third(install);
    QVERIFY(third.tryLock(started));
}

// A process that was killed leaves its file (on Linux); nobody holds it, so it is taken over.
void TestInstallFolder::lockLeftBehindIsTakenOver()
{
    QTemporaryDir dir;
    const QString install = dir.path() + u'/';
    testsupport::writeFile(install + InstallLock::fileName(), "pid=99999\r\nstarted=01-01-2026 00:00:00\r\n");
    InstallLock lock(install);
    QVERIFY(lock.tryLock(QDateTime(QDate(2026, 12, 9), QTime(11, 0))));
    // The file now names this process.
    InstallLock second(install);
    QVERIFY(!second.tryLock(QDateTime::currentDateTime()));
    QCOMPARE(second.holder(),
             QStringLiteral("proces %1, gestart 09-12-2026 11:00:00").arg(QCoreApplication::applicationPid()));
}

void TestInstallFolder::lockInMissingFolder()
{
    QTemporaryDir dir;
    InstallLock lock(dir.filePath(QStringLiteral("missing")) + u'/');
    QVERIFY(!lock.tryLock(QDateTime::currentDateTime()));
    QVERIFY(!lock.errorText().isEmpty());
    QVERIFY2(lock.refusalText().startsWith(QStringLiteral("AutoUpdate kan de installatie niet vergrendelen")),
             qPrintable(lock.refusalText()));
}

namespace {
// Makes `path` a symbolic or hard link to `target`.
bool makeLink(const QString &kind, const QString &target, const QString &path)
{
#ifdef _WIN32
    const std::wstring from = QDir::toNativeSeparators(path).toStdWString();
    const std::wstring to = QDir::toNativeSeparators(target).toStdWString();
    if (kind == u"hard")
        return CreateHardLinkW(from.c_str(), to.c_str(), nullptr);
    return CreateSymbolicLinkW(from.c_str(), to.c_str(), 0);
#else
    const QByteArray from = QFile::encodeName(path);
    const QByteArray to = QFile::encodeName(target);
    const int result =
        kind == u"hard" ? ::link(to.constData(), from.constData()) : ::symlink(to.constData(), from.constData());
    return result == 0;
#endif
}
} // namespace

// A lock file that leads elsewhere is refused, and what it leads to is neither written nor made.
void TestInstallFolder::lockThroughLinkRefused_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("targetExists");
    QTest::newRow("symbolic link") << "symbolic" << true;
    QTest::newRow("symbolic link to nothing") << "symbolic" << false;
    QTest::newRow("hard link") << "hard" << true;
}

void TestInstallFolder::lockThroughLinkRefused()
{
    QFETCH(QString, kind);
    QFETCH(bool, targetExists);
    QTemporaryDir dir;
    const QString install = dir.filePath(QStringLiteral("Klv")) + u'/';
    QVERIFY(QDir().mkpath(install));
    const QString target = dir.filePath(QStringLiteral("elsewhere.txt"));
    const QByteArray content = "somebody else's file\r\n";
    if (targetExists)
        testsupport::writeFile(target, content);
    const QString lockPath = install + InstallLock::fileName();
    if (!makeLink(kind, target, lockPath))
        QSKIP("This system makes no such link here");
#ifdef _WIN32
    if (kind == u"symbolic")
        QSKIP("Under Wine a symbolic link is a Linux one, which Wine neither reports as a reparse point nor opens "
              "as the link itself; the refusal of such links is tested on Linux only");
#endif

    InstallLock lock(install);
    QVERIFY(!lock.tryLock(QDateTime::currentDateTime()));
    QVERIFY(!lock.isLocked());
    QVERIFY2(lock.refusalText().startsWith(QStringLiteral("AutoUpdate kan de installatie niet vergrendelen")) &&
                 lock.refusalText().contains(QStringLiteral("koppeling")),
             qPrintable(lock.refusalText()));
    if (targetExists)
        QCOMPARE(testsupport::readFile(target), content);
    else
        QVERIFY(!QFileInfo::exists(target));
    // Refused again by the next updater, and left where it is for whoever put it there.
    InstallLock next(install);
    QVERIFY(!next.tryLock(QDateTime::currentDateTime()));
    QVERIFY(QFileInfo(lockPath).isSymLink() || QFileInfo(lockPath).isFile());
}

QTEST_GUILESS_MAIN(TestInstallFolder)
#include "tst_installfolder.moc"
