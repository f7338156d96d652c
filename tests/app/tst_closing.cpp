#include "AutoUpdateFrm.h"
#include "platform/HttpClient.h"
#include "platform/Sha256.h"

#include "ServerFixture.h"
#include "TestSupport.h"
#include "WindowFixture.h"

#include <QDir>
#include <QEventLoop>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>

using namespace klv;
using Kind = Dialogs::Kind;

namespace {
const QString kList = QStringLiteral("/supports/whatsnewKEY1234567.klv");
const QString kCloseRefused =
    QStringLiteral("De database wordt bijgewerkt. Het venster kan pas worden gesloten als de conversie klaar is.");
const QString kDone = QStringLiteral("Conversie succesvol be\u00EBindigd");

// Bytes that compress badly, so that a package stays as large as its file.
QByteArray noise(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * 7919) >> 3);
    return bytes;
}
} // namespace

// Closing the window while its work runs, the way it happens in the program: the click and the
// close arrive as events of a running event loop, and the close is handled inside the nested loop
// of a transfer or a message pump of the work. Under the sanitizers of the test build, any use
// of a freed window ends the test program.
class TestClosing : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void closeDuringWork_data();
    void closeDuringWork();
    void closeDuringConversion_data();
    void closeDuringConversion();
    void buttonsLockedDuringDownload();

private:
    // Posts `start` and runs an outer event loop until the window is freed (or a minute passed).
    bool runUntilFreed(const std::function<void()> &start);
    // A close as the user gives it: the window's close box, or a "Sluiten" button.
    void postClose(const QString &how);
    int mainProgramStarts() const;

    WindowFixture F;
    ServerFixture S;
};

void TestClosing::initTestCase()
{
    QVERIFY(WindowFixture::prepareTemplates());
    QVERIFY(ServerFixture::addUser(QStringLiteral("4711"), QStringLiteral("KEY1234567")));
}

void TestClosing::init()
{
    F.setUp();
    F.serverBase = S.setUp(true);
}

void TestClosing::cleanup()
{
    F.tearDown();
    S.tearDown();
}

bool TestClosing::runUntilFreed(const std::function<void()> &start)
{
    QEventLoop outer;
    connect(F.window, &QObject::destroyed, &outer, &QEventLoop::quit);
    QTimer::singleShot(0, F.window, start);
    QTimer::singleShot(60000, &outer, &QEventLoop::quit);
    outer.exec();
    return F.window.isNull();
}

void TestClosing::postClose(const QString &how)
{
    QTimer::singleShot(0, F.window, [this, how] {
        if (how == u"box")
            F.window->windowHandle()->close();
        else
            F.child<QPushButton>(qPrintable(how))->click(); // does nothing while disabled
    });
}

int TestClosing::mainProgramStarts() const
{
    int n = 0;
    for (const auto &e : F.shell->executes)
        n += e.params == u"KLV" ? 1 : 0;
    return n;
}

void TestClosing::closeDuringWork_data()
{
    QTest::addColumn<QString>("moment");
    QTest::addColumn<QString>("how");
    for (const char *moment : {"list fetch", "package transfer", "patch transfer", "Nieuwe AU", "script line"})
        for (const char *how : {"box", "BtnClose"})
            QTest::newRow(qPrintable(QStringLiteral("%1, %2").arg(QLatin1String(moment), QLatin1String(how))))
                << QString::fromLatin1(moment) << QString::fromLatin1(how);
}

void TestClosing::closeDuringWork()
{
    QFETCH(QString, moment);
    QFETCH(QString, how);
    testsupport::writeFile(F.install + QStringLiteral("WeHave.klv"), "a.dll=1\r\n");
    testsupport::writeFile(F.install + QStringLiteral("big.dll"), "old");
    if (moment == u"list fetch") // a list that takes seconds to arrive
        S.serve(kList, "[KLV137]\r\na.dll=t2\r\n" + QByteArray(1024 * 1024, ';').replace(100, 2, "\r\n"));
    else if (moment == u"script line")
        S.serve(kList, "[CMD137]\r\nexec$later.exe=\r\n");
    else
        S.serve(kList, "[KLV137]\r\na.dll=t2\r\nbig.dll=t\r\nc.dll=t\r\n");
    if (moment == u"patch transfer") {
        // big.dll comes as a patch from the installed copy; the close comes while it arrives.
        const QByteArray base = klv::Sha256::hash("old").toHex();
        const QString patch = QStringLiteral("big.dll.%1.klvpatch").arg(QLatin1String(base.left(16)));
        S.serve(kList, "[KLV137]\r\na.dll=t2\r\nbig.dll=t\r\nc.dll=t\r\n[PATCH137]\r\n" + patch.toLatin1() +
                           "=big.dll;" + base + ";" + QByteArray(64, 'a') + ";4194304;4194304\r\n");
        S.serve(QStringLiteral("/supports/klv137/") + patch, noise(4 << 20));
    }
    S.servePackage(QStringLiteral("/supports/klv137/a.zlb"), {{QStringLiteral("a.dll"), "a"}});
    S.servePackage(QStringLiteral("/supports/klv137/big.zlb"), {{QStringLiteral("big.dll"), noise(4 << 20)}});
    S.serve(QStringLiteral("/public/autoupdate2.exe"), noise(4 << 20));
    F.create()->show();

    auto &http = *F.window->IdHTTP1;
    int transfers = 0;
    bool posted = false;
    const auto work = http.OnWork;
    const auto begin = http.OnWorkBegin;
    const auto end = http.OnWorkEnd;
    // The transfer during which the close comes: the list is the first, big.zlb the third.
    const bool thirdTransfer = moment == u"package transfer" || moment == u"patch transfer";
    const int closingTransfer = thirdTransfer ? 3 : 1;
    http.OnWorkBegin = [&](WorkMode mode, int64_t max) {
        ++transfers;
        begin(mode, max);
    };
    http.OnWork = [&](WorkMode mode, int64_t count) {
        if (!posted && moment != u"script line" && transfers == closingTransfer) {
            posted = true;
            postClose(how);
        }
        work(mode, count);
    };
    http.OnWorkEnd = [&](WorkMode mode) {
        end(mode);
        // After the list the next pump is the one before the first command.
        if (!posted && moment == u"script line") {
            posted = true;
            postClose(how);
        }
    };

    if (moment == u"Nieuwe AU")
        F.dialogs->queueAnswer(true);
    const char *button = moment == u"Nieuwe AU" ? "BtnNewAU" : "BtnDownload";
    QVERIFY(runUntilFreed([&] { F.click(button); }));
    QVERIFY(posted);

    // Nothing shown after the close, not even the silent abort; Kelvora started once.
    const QStringList info = F.dialogs->texts(Kind::Information);
    QCOMPARE(info, thirdTransfer ? QStringList{"a.dll 2 2"} : QStringList{});
    QCOMPARE(F.dialogs->texts(Kind::Error), QStringList{});
    QCOMPARE(mainProgramStarts(), 1);
    QCOMPARE(testsupport::readFile(F.install + QStringLiteral("big.dll")), QByteArray("old"));
    QVERIFY(!QFile::exists(F.install + QStringLiteral("autoupdate2.exe")));
    QVERIFY(!S.requests().contains(QStringLiteral("/supports/klv137/c.zlb")));
    QVERIFY(!S.requests().contains(QStringLiteral("/supports/whatsnew.klv")));
    for (const auto &e : F.shell->executes)
        QVERIFY2(!e.file.endsWith(QStringLiteral("later.exe")), "a command ran after the close");
    QCOMPARE(testsupport::readFile(F.install + QStringLiteral("WeHave.klv")),
             thirdTransfer ? QByteArray("a.dll=2\r\n") : QByteArray("a.dll=1\r\n"));
    // Not the whole package either: the close stops the run, not only the patch.
    QVERIFY(moment != u"patch transfer" || !S.requests().contains(QStringLiteral("/supports/klv137/big.zlb")));
    QCOMPARE(F.column(QStringLiteral("select DAUTOUPDATE_SPP from SYSPROPS")), QStringList{""});
    // The cut transfer leaves only its partial file, under a name that no step takes for a whole
    // one and that the next run resumes or removes.
    const QStringList left = QDir(F.install).entryList(QDir::Files);
    for (const QString &name : left)
        QVERIFY2(name.endsWith(QStringLiteral(".klvpart")) || name.endsWith(QStringLiteral(".klvpart.info")) ||
                     (!name.endsWith(QStringLiteral(".klvpatch")) && !name.endsWith(QStringLiteral(".tmp")) &&
                      !name.contains(QStringLiteral(".klv.")) && !name.contains(QStringLiteral(".zlb.")) &&
                      !name.contains(QStringLiteral(".exe."))),
                 qPrintable(name));
}

void TestClosing::closeDuringConversion_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QStringList>("info");
    QTest::newRow("box") << "box" << QStringList{kCloseRefused, kDone};
    QTest::newRow("Sluiten on the Update tab") << "BtnClose2" << QStringList{kDone};
    QTest::newRow("Sluiten on the Ophalen tab") << "BtnClose" << QStringList{kDone};
}

// A close during a conversion statement is refused; the conversion runs to its end, and only
// then is Kelvora started.
void TestClosing::closeDuringConversion()
{
    QFETCH(QString, how);
    QFETCH(QStringList, info);
    QVERIFY(F.sql({"create table RUNLOG (NAME varchar(20))"}));
    QVERIFY(F.putExe(QStringLiteral("139")));
    F.putFile(QStringLiteral("138.SQL"),
              "insert into RUNLOG values ('138a')\r\n;\r\ninsert into RUNLOG values ('138b')\r\n;\r\n");
    F.putFile(QStringLiteral("139.SQL"), "insert into RUNLOG values ('139')\r\n;\r\n");
    const QStringList all{"138a", "138b", "139"};
    F.create()->show();
    bool posted = false;
    QStringList lockedButtons;
    F.window->OnStatement = [&](const QStringList &) {
        if (posted)
            return;
        posted = true;
        for (const char *name : {"BtnDownload", "BtnNewAU", "BtnUpdate", "BtnClose", "BtnClose2", "SpdBtnLoad"})
            if (!F.child<QWidget>(name)->isEnabled())
                lockedButtons << QLatin1String(name);
        postClose(how);
    };
    QStringList ranBeforeStart;
    F.shell->OnExecute = [&](const RecordingShell::Execute &) {
        ranBeforeStart = F.column(QStringLiteral("select NAME from RUNLOG order by rowid"));
    };
    F.dialogs->queueAnswer(true); // backup made
    QVERIFY(runUntilFreed([&] { F.click("BtnUpdate"); }));
    QVERIFY(posted);
    QCOMPARE(lockedButtons,
             (QStringList{"BtnDownload", "BtnNewAU", "BtnUpdate", "BtnClose", "BtnClose2", "SpdBtnLoad"}));
    QCOMPARE(F.dialogs->texts(Kind::Information), info);
    QCOMPARE(mainProgramStarts(), 1);
    QCOMPARE(ranBeforeStart, all); // Kelvora started on the converted database
}

// While "Ophalen" runs, nothing else can be started; afterwards every button is as the run left it.
void TestClosing::buttonsLockedDuringDownload()
{
    F.putFile(QStringLiteral("u1011.sql"), "select 1\r\n;\r\n"); // a conversion waits already
    S.serve(kList, "[KLV137]\r\nbig.dll=t\r\n");
    S.servePackage(QStringLiteral("/supports/klv137/big.zlb"), {{QStringLiteral("big.dll"), noise(1 << 20)}});
    F.create()->show();
    QVERIFY(F.child<QPushButton>("BtnUpdate")->isEnabled());
    QStringList enabledDuring;
    auto &http = *F.window->IdHTTP1;
    const auto work = http.OnWork;
    http.OnWork = [&](WorkMode mode, int64_t count) {
        if (enabledDuring.isEmpty())
            for (const char *name : {"BtnDownload", "BtnNewAU", "BtnUpdate", "BtnClose", "BtnClose2", "SpdBtnLoad"})
                if (F.child<QWidget>(name)->isEnabled())
                    enabledDuring << QLatin1String(name);
        work(mode, count);
    };
    QEventLoop outer;
    F.dialogs->OnMessage = [&](const ScriptedDialogs::Entry &) { QTimer::singleShot(0, &outer, &QEventLoop::quit); };
    QTimer::singleShot(0, F.window, [this] { F.click("BtnDownload"); });
    QTimer::singleShot(60000, &outer, &QEventLoop::quit);
    outer.exec();
    QCOMPARE(F.dialogs->texts(Kind::Information),
             QStringList{QStringLiteral("Download is voltooid, start update indien nodig.")});
    QCOMPARE(enabledDuring, (QStringList{"BtnClose", "BtnClose2"})); // closing stops a download
    QTRY_VERIFY(F.child<QPushButton>("BtnDownload")->isEnabled());
    QVERIFY(F.child<QPushButton>("BtnUpdate")->isEnabled());
    QVERIFY(F.child<QPushButton>("BtnNewAU")->isEnabled());
    QVERIFY(F.child<QPushButton>("BtnClose2")->isEnabled());
}

QTEST_MAIN(TestClosing)
#include "tst_closing.moc"
