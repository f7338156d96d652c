#include "ServerFixture.h"
#include "TestDatabases.h"
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
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTemporaryFile>
#include <QTest>
#include <QThread>

#include <memory>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {
QString updaterName()
{
    return QFileInfo(QStringLiteral(KLV_AUTOUPDATE_EXE)).fileName();
}

const QString kList = QStringLiteral("/supports/whatsnewKEY1234567.klv");
const QStringList kUnattended{"0", "0", "KLV", "--unattended", "--no-restart"};
const QStringList kConverting{"0", "0", "KLV", "--unattended", "--convert", "--backup-made", "--no-restart"};

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

// Statements that may run twice with the same end: a command or a conversion that is killed
// half-way is run again from its start.
QByteArray idempotentInserts(const char *prefix, int count)
{
    QByteArray sql;
    for (int i = 0; i < count; ++i)
        sql += "insert or replace into KV values ('" + QByteArray(prefix) + QByteArray::number(i) + "', '" +
               QByteArray::number(i) + "')\r\n;\r\n";
    return sql;
}

using Updater = updaterprocess::Watched;

// A stretch of a run: from the output line that starts it to the one that follows it.
struct Phase
{
    const char *name;
    QByteArray prefix, suffix;       // the line that starts it; empty: the start of the process
    QByteArray endPrefix, endSuffix; // the line that ends it
    qint64 duration = 0;             // measured in a clean run
};
} // namespace

// Runs that stop anywhere, overlap, or meet a full disk: whatever happened, the next run brings
// the installation where a clean run would have, and nothing outside the run is touched.
class TestInterrupted : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void stuckAfterKlvExeReplaced();
    void killedAnywhereEndsLikeACleanRun();
    void twoUpdatersAtOnce();
    void fullDisk_data();
    void fullDisk();

private:
    void setUpInstallation(bool slow);
    QProcessEnvironment environment() const;
    std::unique_ptr<Updater> updater() const
    {
        return std::make_unique<Updater>(environment(), F.install + updaterName(), F.install);
    }
    int run(const QStringList &args, QByteArray *output = nullptr);
    // A release that changes KLV.EXE, fetches a large package and one of several files, runs a
    // long query and leaves a long conversion.
    void serveLongRelease();
    QStringList snapshot();
    // A KLV.EXE that wants release 138, built once: two builds differ in their time stamps.
    QByteArray newExe() const { return testsupport::readFile(FTemplates.filePath(QStringLiteral("KLV138.EXE"))); }

    QTemporaryDir FTemplates;
    WindowFixture F;
    ServerFixture S;
    QString FServerUrl;
    QString FInstallDir; // where the installation's own files are; the updater's folder is F.install
};

void TestInterrupted::initTestCase()
{
    QVERIFY(WindowFixture::prepareTemplates());
    QVERIFY(ServerFixture::addUser(QStringLiteral("4711"), QStringLiteral("KEY1234567")));
    QVERIFY(QFile::exists(QStringLiteral(KLV_AUTOUPDATE_EXE)));
    QVERIFY(testsupport::makeVersionedExe(FTemplates.filePath(QStringLiteral("KLV138.EXE")),
                                          {{QStringLiteral("FileVersion"), QStringLiteral("5.3.0.0")},
                                           {QStringLiteral("IntegerVersion"), QStringLiteral("138")}}));
}

void TestInterrupted::init()
{
    setUpInstallation(false);
}

void TestInterrupted::setUpInstallation(bool slow)
{
    F.setUp();
    FServerUrl = klv::unscrambleServerBase(S.setUp(slow));
    FInstallDir = F.install;
    QVERIFY(QFile::copy(QStringLiteral(KLV_AUTOUPDATE_EXE), F.install + updaterName()));
    QFile::setPermissions(F.install + updaterName(), QFile::ExeOwner | QFile::ReadOwner | QFile::WriteOwner);
    QVERIFY(F.sql(
        {"create table RUNLOG (NAME varchar(20))", "create table KV (K varchar(10) primary key, V varchar(10))"}));
}

void TestInterrupted::cleanup()
{
    F.tearDown();
    S.tearDown();
}

QProcessEnvironment TestInterrupted::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KLV_INSTALL_DIR"), FInstallDir);
    env.insert(QStringLiteral("KLV_ALIASES"), F.ini);
    env.insert(QStringLiteral("KLV_UPDATE_SERVER"), FServerUrl);
    env.insert(QStringLiteral("KLV_RETRY_PAUSE_MS"), QStringLiteral("10"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
}

int TestInterrupted::run(const QStringList &args, QByteArray *output)
{
    const auto process = updater();
    if (!process->start(args))
        return -2;
    const int status = process->finish();
    if (output)
        *output = process->output();
    return status;
}

void TestInterrupted::serveLongRelease()
{
    S.serve(kList, "[KLV137]\r\nKLV.EXE=5.3.0.0\r\nbig.dll=t1\r\nmulti.dll=t2\r\n[SQL137]\r\nVERSIE=138\r\n"
                   "[CMD137]\r\nquery$fill.sql=\r\n");
    S.servePackage(QStringLiteral("/supports/klv137/KLV.zlb"), {{QStringLiteral("KLV.EXE"), newExe()}});
    S.servePackage(QStringLiteral("/supports/klv137/big.zlb"),
                   {{QStringLiteral("big.dll"), randomBytes(1536 * 1024, 1)}});
    QList<QPair<QString, QByteArray>> several{{QStringLiteral("multi.dll"), randomBytes(64 * 1024, 2)},
                                              {QStringLiteral("fill.sql"), idempotentInserts("q", 300)}};
    // Files that compress well, so that the package is quick to fetch and slow to unpack.
    for (int i = 0; i < 12; ++i)
        several.append({QStringLiteral("part%1.dat").arg(i), QByteArray(512 * 1024, char('a' + i))});
    S.servePackage(QStringLiteral("/supports/klv137/multi.zlb"), several);
    S.servePackage(QStringLiteral("/supports/138.zlb"),
                   {{QStringLiteral("138.SQL"), idempotentInserts("c", 300) + "insert or replace into KV values "
                                                                              "('done', '138')\r\n;\r\n"
                                                                              "update SYSPROPS set VERSIENUMMER = "
                                                                              "138\r\n;\r\n"}});
}

// Every file of the installation with a hash of its bytes, and the database's rows.
QStringList TestInterrupted::snapshot()
{
    QStringList out;
    QDirIterator it(FInstallDir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.endsWith(QStringLiteral("klv.db")) || path.endsWith(updaterName()))
            continue;
        out << path.mid(FInstallDir.size()) + u' ' +
                   QString::fromLatin1(
                       QCryptographicHash::hash(testsupport::readFile(path), QCryptographicHash::Md5).toHex());
    }
    out.sort();
    for (const char *table : {"SYSPROPS", "RUNLOG", "KV"})
        out << F.column(QStringLiteral("select * from %1 order by 1").arg(QLatin1String(table)));
    return out;
}

// The run stops after KLV.EXE was replaced (the next package is missing on the server). The next
// run finishes the release it was applying, and the conversion then finds its script.
void TestInterrupted::stuckAfterKlvExeReplaced()
{
    S.serve(kList, "[KLV137]\r\nKLV.EXE=5.3.0.0\r\n[SQL137]\r\nVERSIE=138\r\n");
    S.servePackage(QStringLiteral("/supports/klv137/KLV.zlb"), {{QStringLiteral("KLV.EXE"), newExe()}});
    QByteArray out;
    QCOMPARE(run(kConverting, &out), 1);
    QVERIFY2(out.contains("404"), out.constData());
    QCOMPARE(testsupport::readFile(F.install + QStringLiteral("KLV.EXE")), newExe());

    S.servePackage(QStringLiteral("/supports/138.zlb"),
                   {{QStringLiteral("138.SQL"), "insert into RUNLOG values ('138')\r\n;\r\n"
                                                "update SYSPROPS set VERSIENUMMER = 138\r\n;\r\n"}});
    QCOMPARE(run(kConverting, &out), 0);
    QVERIFY2(out.contains("Vorige update wordt afgemaakt (release 137)."), out.constData());
    QVERIFY(out.contains("Informatie: Conversie succesvol be\xC3\xAB"
                         "indigd"));
    QCOMPARE(F.column(QStringLiteral("select NAME from RUNLOG")), QStringList{"138"});
    QCOMPARE(F.column(QStringLiteral("select VERSIENUMMER from SYSPROPS")), QStringList{"138"});
    QVERIFY(!QFile::exists(F.install + QStringLiteral("AutoUpdate.journal")));
    // Only the package that was missing was fetched again.
    QCOMPARE(S.requestCount(QStringLiteral("/supports/klv137/KLV.zlb")), 1);

    // The installation is current: the next run reads the new release's sections and is done.
    QCOMPARE(run(kConverting, &out), 0);
    QVERIFY2(out.contains("Informatie: Auto Update is voltooid."), out.constData());
}

// SIGKILL at 20 random moments of a run: while the list is fetched, in the middle of a large
// package, while a package of several files is unpacked, during a command and during a
// conversion statement. After each kill the updater is simply run again. In the end the
// installation and the database are those of a clean run, nothing is left behind, and the large
// package was fetched once, its rest resumed after every kill.
void TestInterrupted::killedAnywhereEndsLikeACleanRun()
{
    cleanup();
    setUpInstallation(true); // the fixture sends 256 KB a second: the large package takes seconds
    serveLongRelease();
    QList<Phase> phases{
        {"list", {}, {}, "Downloaded: ", {}},
        {"large package", "Download big.zlb", {}, "Download multi.zlb", {}},
        {"unpacking several files", "Unzip ", "multi.zlb", "Unzip ", "138.zlb"},
        {"command", "ExecQuery", {}, "Informatie: Download is voltooid", {}},
        {"conversion", "SQL: insert or replace into KV values ('c", {}, "Informatie: Conversie succesvol", {}},
    };

    // The clean run, timed phase by phase.
    {
        const auto clean = updater();
        QVERIFY(clean->start(kConverting));
        for (Phase &phase : phases) {
            qint64 begin = 0;
            if (!phase.prefix.isEmpty()) {
                QVERIFY2(clean->waitForLine(phase.prefix, phase.suffix), phase.name);
                begin = clean->elapsed();
            }
            QVERIFY2(clean->waitForLine(phase.endPrefix, phase.endSuffix), phase.name);
            phase.duration = std::max<qint64>(1, clean->elapsed() - begin);
        }
        QCOMPARE(clean->finish(), 0);
    }
    const QStringList cleanResult = snapshot();
    QVERIFY(cleanResult.contains(
        QStringLiteral("WeHave.klv %1")
            .arg(QString::fromLatin1(
                QCryptographicHash::hash("big.dll=1\r\nmulti.dll=2\r\n", QCryptographicHash::Md5).toHex()))));

    cleanup();
    setUpInstallation(true);
    serveLongRelease();
    const quint32 seed = QRandomGenerator::global()->generate();
    QRandomGenerator random(seed);
    const QByteArray context = "seed " + QByteArray::number(seed);
    int kills = 0;
    bool finishedEarly = false;
    for (qsizetype p = 0; p < phases.size(); ++p) {
        const Phase &phase = phases[p];
        // The phase's own line, then those of the phases after it.
        QList<QPair<QByteArray, QByteArray>> marks;
        for (qsizetype q = p; q < phases.size(); ++q)
            marks.append({phases[q].prefix, phases[q].suffix});
        for (int i = 0; i < 4; ++i) {
            const auto process = updater();
            QVERIFY(process->start(kConverting));
            // The large package is cut at least a tenth in, so that there is something to resume.
            const bool large = phase.name == QByteArrayLiteral("large package");
            const double low = large ? 0.1 : 0.0;
            const double high = large ? 0.3 : 0.6;
            const auto delay = qint64(phase.duration * (low + (high - low) * random.generateDouble()));
            const int reached = phase.prefix.isEmpty() ? 0 : process->waitForAny(marks);
            if (reached < 0 && p == phases.size() - 1 && process->finish() == 0) {
                // The kill before came after the conversion's last commit: nothing is left to cut.
                finishedEarly = true;
                break;
            }
            QVERIFY2(reached >= 0, (context + " " + phase.name + " ended early\n" + process->output()).constData());
            // A later phase showed first: this phase's work was done by the attempt before. The
            // attempt is killed there and then, which is as random a point as any. Otherwise the
            // kill comes after the delay, or at the phase's end when the rest of the work (a
            // resumed download, say) takes less than that, so that it never lands in a later phase
            // or after the run's end.
            if (reached == 0) {
                QList<QPair<QByteArray, QByteArray>> ends{{phase.endPrefix, phase.endSuffix}};
                ends.append(marks.mid(1));
                process->waitForAny(ends, int(delay));
            }
            process->kill();
            ++kills;
        }
    }
    // Every kill lands where it was aimed, except that the last ones may find the work done.
    QVERIFY2(kills == 20 || (finishedEarly && kills >= 17),
             (context + " kills " + QByteArray::number(kills)).constData());
    int status = -1;
    QByteArray out;
    for (int attempt = 0; attempt < 3 && status != 0; ++attempt)
        status = run(kConverting, &out);
    QVERIFY2(status == 0, (context + "\n" + out).constData());
    const QStringList after = snapshot();
    if (after != cleanResult) {
        // Which files or rows differ, so that a failure says where the kill left its trace.
        QStringList extra, missing;
        for (const QString &entry : after)
            if (!cleanResult.contains(entry))
                extra << entry;
        for (const QString &entry : cleanResult)
            if (!after.contains(entry))
                missing << entry;
        QFAIL(qPrintable(QStringLiteral("%1: not as after a clean run; more: %2; missing: %3")
                             .arg(QString::fromLatin1(context), extra.join(QStringLiteral(", ")),
                                  missing.join(QStringLiteral(", ")))));
    }

    const QList<QPair<int, qint64>> answers = S.answers(QStringLiteral("/supports/klv137/big.zlb"));
    int whole = 0;
    int rest = 0;
    qint64 sent = 0;
    for (const auto &[code, bytes] : answers) {
        whole += code == 200;
        rest += code == 206;
        sent += bytes;
    }
    const qint64 size = QFileInfo(S.localPath(QStringLiteral("/supports/klv137/big.zlb"))).size();
    QByteArray tally = context;
    for (const auto &[code, bytes] : answers)
        tally += " " + QByteArray::number(code) + ":" + QByteArray::number(bytes);
    QVERIFY2(whole == 1 && rest >= 1, tally.constData());
    // What was in flight when a run was killed is sent again; the rest never is.
    QVERIFY2(sent < size + size / 2, (context + " sent " + QByteArray::number(sent)).constData());
}

// Started at the same moment, ten times: one works, the other says that an updater is at work and
// touches nothing; the list's command and the conversion run once each time they are due.
void TestInterrupted::twoUpdatersAtOnce()
{
    cleanup();
    setUpInstallation(true);
    // A package that takes a few seconds, so that the two runs overlap however their start is timed.
    S.serve(kList, "[KLV137]\r\nbig.dll=t\r\n[SQL137]\r\nUPDATE=1011\r\n[CMD137]\r\nquery$once.sql=\r\n");
    S.servePackage(QStringLiteral("/supports/klv137/big.zlb"),
                   {{QStringLiteral("big.dll"), randomBytes(768 * 1024, 3)},
                    {QStringLiteral("once.sql"), "insert into RUNLOG values ('query')\r\n;\r\n"}});
    S.servePackage(QStringLiteral("/supports/u1011.zlb"),
                   {{QStringLiteral("u1011.sql"), "insert into RUNLOG values ('U1011')\r\n;\r\n"
                                                  "update SYSPROPS set IUPDATE_SPP = 1011\r\n;\r\n"}});
    for (int round = 1; round <= 10; ++round) {
        const auto first = updater();
        const auto second = updater();
        QVERIFY(first->start(kConverting));
        QVERIFY(second->start(kConverting));
        const int a = first->finish();
        const int b = second->finish();
        const QByteArray refused = a == 0 ? second->output() : first->output();
        QVERIFY2((a == 0 && b == 1) || (a == 1 && b == 0), (QByteArray::number(a) + " " + QByteArray::number(b) + "\n" +
                                                            first->output() + "\n" + second->output())
                                                               .constData());
        // The holder's process id is there unless the lock was taken an instant before its text was written.
        QVERIFY2(refused.contains("Fout: AutoUpdate is al actief voor deze installatie"), refused.constData());
        QVERIFY(refused.contains("Update mislukt."));
        QVERIFY(!refused.contains("Download"));
        QCOMPARE(F.column(QStringLiteral("select count(*) from RUNLOG where NAME = 'query'")),
                 QStringList{QString::number(round)});
        QCOMPARE(F.column(QStringLiteral("select count(*) from RUNLOG where NAME = 'U1011'")), QStringList{"1"});
    }
    QVERIFY(!QFile::exists(F.install + QStringLiteral("AutoUpdate.lock")));
}

void TestInterrupted::fullDisk_data()
{
    QTest::addColumn<qsizetype>("listSize");
    QTest::addColumn<qsizetype>("packageSize");
    QTest::newRow("package larger than the space left") << qsizetype(0) << qsizetype(96 * 1024);
    QTest::newRow("list larger than the space left") << qsizetype(5470) << qsizetype(1024);
}

// The installation on a volume with hardly any room: the run fails and says the disk is full, the
// known-package list and the installed files are as they were, no cut file is taken for a whole
// one, and once there is room again the next run completes.
void TestInterrupted::fullDisk()
{
#ifdef _WIN32
    QSKIP("A small volume of its own is made with a Linux mount");
#else
    if (geteuid() != 0)
        QSKIP("Mounting a small volume needs root");
    QFETCH(qsizetype, listSize);
    QFETCH(qsizetype, packageSize);
    // The database, its aliases and the updater stay in F.install; the installation's own files
    // go to the small volume.
    FInstallDir = F.dir->filePath(QStringLiteral("small")) + u'/';
    QVERIFY(QDir().mkpath(FInstallDir));
    testsupport::writeFile(F.ini, QByteArray());
    testsupport::addAlias(F.ini, QStringLiteral("KLV"), QStringLiteral("QSQLITE"), F.db);
    QCOMPARE(testsupport::run(QStringLiteral("mount"), {"-t", "tmpfs", "-o", "size=256k", "tmpfs", FInstallDir}), 0);
    const auto unmount = qScopeGuard([&] { testsupport::run(QStringLiteral("umount"), {FInstallDir}); });
    testsupport::writeFile(FInstallDir + QStringLiteral("WeHave.klv"), "old.dll=5\r\n");
    testsupport::writeFile(FInstallDir + QStringLiteral("big.dll"), "old big");

    QByteArray list = "[KLV137]\r\nbig.dll=t6\r\n";
    if (listSize > list.size())
        list += ";" + QByteArray(listSize - list.size() - 3, 'x') + "\r\n";
    S.serve(kList, list);
    S.servePackage(QStringLiteral("/supports/klv137/big.zlb"),
                   {{QStringLiteral("big.dll"), randomBytes(packageSize, 4)}});
    // Fill the volume up to a page or so.
    QFile filler(FInstallDir + QStringLiteral("filler"));
    QVERIFY(filler.open(QIODevice::WriteOnly));
    const QByteArray page(4096, 'f');
    while (filler.write(page) == page.size() && filler.flush()) {
    }
    filler.close();
    QVERIFY(QFile::resize(filler.fileName(), std::max<qint64>(0, filler.size() - 4096)));

    QByteArray out;
    QCOMPARE(run(kUnattended, &out), 1);
    QVERIFY2(out.contains("Schijf vol"), out.constData());
    QVERIFY(out.contains("Update mislukt."));
    QVERIFY(!out.contains("voltooid"));
    QCOMPARE(testsupport::readFile(FInstallDir + QStringLiteral("WeHave.klv")), QByteArray("old.dll=5\r\n"));
    QCOMPARE(testsupport::readFile(FInstallDir + QStringLiteral("big.dll")), QByteArray("old big"));
    QCOMPARE(F.column(QStringLiteral("select DAUTOUPDATE_SPP from SYSPROPS")), QStringList{""});

    QVERIFY(QFile::remove(filler.fileName()));
    QVERIFY2(run(kUnattended, &out) == 0, out.constData());
    QVERIFY2(out.contains("Informatie: Auto Update is voltooid."), out.constData());
    QCOMPARE(testsupport::readFile(FInstallDir + QStringLiteral("big.dll")), randomBytes(packageSize, 4));
    QCOMPARE(testsupport::readFile(FInstallDir + QStringLiteral("WeHave.klv")),
             QByteArray("old.dll=5\r\nbig.dll=6\r\n"));
    const QStringList left = QDir(FInstallDir).entryList(QDir::Files);
    QVERIFY2(!left.join(u' ').contains(QStringLiteral("klvpart")) &&
                 !left.join(u' ').contains(QStringLiteral("klvtmp")) &&
                 !left.contains(QStringLiteral("AutoUpdate.journal")),
             qPrintable(left.join(u' ')));
#endif
}

QTEST_MAIN(TestInterrupted)
#include "tst_interrupted.moc"
