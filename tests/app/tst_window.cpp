#include "AutoUpdateFrm.h"
#include "QtDialogs.h"
#include "WindowPlacement.h"
#include "db/KlvDatabase.h"
#include "platform/HttpClient.h"
#include "platform/ScriptedDialogs.h"
#include "platform/ServerAddress.h"

#include "RecordingShell.h"
#include "TestDatabases.h"
#include "TestSupport.h"
#include "WindowFixture.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSqlQuery>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <memory>

using namespace klv;
using Kind = Dialogs::Kind;

// The window's start-up, version probe and closing, driven offscreen with scripted dialogs, a
// recording shell and real SQLite and PostgreSQL databases.
class TestWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void arguments_data();
    void arguments();
    void initialState_data();
    void initialState();
    void versionsAreMaxima();
    void customerKey_data();
    void customerKey();
    void emptyTablesGiveEmptyTexts();
    void scriptNumbers_data();
    void scriptNumbers();
    void missingExeKeepsLabels();
    void updateButtonEnabledByNewScript();
    void blobSizeOnceAfterSeveralProbes();
    void otherUsersOnPostgres();
    void probeFailureReachesErrorDisplay();
    void closeSavesListAndStartsMainProgram();
    void emptyListLeavesFileAlone();
    void mainProgramNotStarted();
    void failedSaveStillStartsMainProgram();
    void noDatabaseAtAll();
    void keyboard();
    void questionsDefaultToNo();
    void placement_data();
    void placement();

private:
    WindowFixture F;
};

void TestWindow::initTestCase()
{
    QVERIFY(WindowFixture::prepareTemplates());
}

void TestWindow::init()
{
    F.setUp();
}

void TestWindow::cleanup()
{
    F.tearDown();
}

void TestWindow::arguments_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("wnd1");
    QTest::addColumn<int>("wnd2");
    QTest::addColumn<QString>("alias");
    QTest::addColumn<QStringList>("warnings");
    QTest::newRow("none") << QStringList{} << 0 << 0 << "ODBC_OVT" << QStringList{};
    QTest::newRow("one") << QStringList{"77"} << 77 << 0 << "ODBC_OVT" << QStringList{};
    QTest::newRow("two") << QStringList{"123", "-456"} << 123 << -456 << "ODBC_OVT" << QStringList{};
    QTest::newRow("three") << QStringList{"1", "2", "KLV"} << 1 << 2 << "KLV" << QStringList{};
    QTest::newRow("not a number") << QStringList{"abc", "12x"} << 0 << 0 << "ODBC_OVT" << QStringList{};
    QTest::newRow("further ignored") << QStringList{"1", "2", "KLV", "extra"} << 1 << 2 << "KLV" << QStringList{};
    QTest::newRow("wrong alias") << QStringList{"1", "2", "NOPE"} << 1 << 2 << "ODBC_OVT"
                                 << QStringList{"Changing: NOPE"};
}

void TestWindow::arguments()
{
    QFETCH(QStringList, args);
    QFETCH(int, wnd1);
    QFETCH(int, wnd2);
    QFETCH(QString, alias);
    QFETCH(QStringList, warnings);
    F.create(args);
    QCOMPARE(F.window->FNotifyWnd1, wnd1);
    QCOMPARE(F.window->FNotifyWnd2, wnd2);
    QCOMPARE(F.window->FAliasName, alias);
    QVERIFY(F.window->gblKlvDBS->Connected());
    QCOMPARE(F.dialogs->texts(Kind::Warning), warnings);
    QCOMPARE(F.dialogs->entries().size(), warnings.size());

    F.window->close();
    QTRY_VERIFY(F.window.isNull());
    QCOMPARE(F.shell->executes.size(), 1);
    QCOMPARE(F.shell->executes[0].verb, QStringLiteral("open"));
    QCOMPARE(F.shell->executes[0].params, alias);
    QCOMPARE(F.shell->executes[0].show, int(Shell::SW_SHOWNORMAL));
}

void TestWindow::initialState_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("visible");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("BtnDownload") << "BtnDownload"
                                 << "Ophalen" << true << true;
    QTest::newRow("BtnNewAU") << "BtnNewAU"
                              << "Nieuwe AU" << true << true;
    QTest::newRow("BtnClose") << "BtnClose"
                              << "Sluiten" << true << true;
    QTest::newRow("BtnClose2") << "BtnClose2"
                               << "Sluiten" << true << true;
    QTest::newRow("BtnUpdate") << "BtnUpdate"
                               << "Update" << true << false;
    QTest::newRow("EdPassword") << "EdPassword"
                                << "" << false << true;
    QTest::newRow("EdPwd") << "EdPwd"
                           << "" << false << true;
    QTest::newRow("SpdBtnLoad") << "SpdBtnLoad"
                                << "" << false << true;
    QTest::newRow("LblVersie") << "LblVersie"
                               << "" << true << true;
    QTest::newRow("LblUpdate") << "LblUpdate"
                               << "" << true << true;
    QTest::newRow("LblEXE") << "LblEXE"
                            << "Versie KLV.EXE: " << true << true;
    QTest::newRow("LblDB") << "LblDB"
                           << "Versie KLV-database: " << true << true;
    QTest::newRow("LblUSql") << "LblUSql"
                             << "Versie uXXXX.sql: " << true << true;
    QTest::newRow("LblDbSql") << "LblDbSql"
                              << "Versie KLV-database: " << true << true;
    QTest::newRow("version panel") << "StatusBar2Panel0"
                                   << "Version 136.46" << true << true;
    QTest::newRow("StatusBar1 empty") << "StatusBar1Panel0"
                                      << "" << true << true;
}

void TestWindow::initialState()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(bool, visible);
    QFETCH(bool, enabled);
    // Not shown, so the probe has not run and the design texts stand.
    F.create();
    QWidget *widget = F.window->findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(!widget->isHidden(), visible);
    QCOMPARE(widget->isEnabled(), enabled);
    QString actual;
    if (auto *button = qobject_cast<QAbstractButton *>(widget))
        actual = button->text();
    else if (auto *label = qobject_cast<QLabel *>(widget))
        actual = label->text();
    else if (auto *edit = qobject_cast<QLineEdit *>(widget))
        actual = edit->text();
    QCOMPARE(actual, text);
    QCOMPARE(F.window->windowTitle(), QStringLiteral("Automatisch updaten"));
    QCOMPARE(F.child<QTabWidget>("PgCtrlUpdate")->currentWidget()->objectName(), QStringLiteral("TsDownload"));
    QCOMPARE(F.window->size(), QSize(441, 488));
    for (const char *name : {"Gauge1", "Memo1", "Memo2", "Panel1", "Panel2", "Panel3", "Panel4", "Panel5", "TsUpdate",
                             "StatusBar1", "gblKlvDBS"})
        QVERIFY2(F.window->findChild<QObject *>(QLatin1String(name)), name);
}

void TestWindow::versionsAreMaxima()
{
    F.serverBase = scrambleServerBase(QStringLiteral("http://updates.invalid"));
    QVERIFY(F.sql({"delete from SYSPROPS",
                   "insert into SYSPROPS (VERSIENUMMER, IUPDATE_SPP, DAUTOUPDATE_SPP) values (135, 1003, null)",
                   "insert into SYSPROPS (VERSIENUMMER, IUPDATE_SPP, DAUTOUPDATE_SPP) values (137, 999, null)",
                   "insert into SYSPROPS (VERSIENUMMER, IUPDATE_SPP, DAUTOUPDATE_SPP) values (136, 1010, null)",
                   "insert into SYSPROPS (VERSIENUMMER, IUPDATE_SPP, DAUTOUPDATE_SPP) values (null, null, null)"}));
    F.create()->show();
    QCOMPARE(F.window->FDbVersion, uint16_t{137});
    QCOMPARE(F.window->FDbUpdate, uint16_t{1010});
    QCOMPARE(F.text("LblDB"), QStringLiteral("Versie KLV-database: 137"));
    QCOMPARE(F.text("LblDbSql"), QStringLiteral("Versie KLV-database: 1010"));
    QCOMPARE(F.window->FExeDbVersion, uint16_t{137});
    QCOMPARE(F.text("LblEXE"), QStringLiteral("Versie KLV.EXE: 137"));
    QCOMPARE(F.window->FDeelnemerNr, QStringLiteral("4711"));
    QCOMPARE(F.window->IdHTTP1->Username, QStringLiteral("4711"));
    QCOMPARE(F.window->IdHTTP1->Password, QStringLiteral("KEY1234567"));
    QCOMPARE(F.window->FServerBase, F.serverBase);
    QCOMPARE(gRegioCode, QStringLiteral("07"));
    QVERIFY(F.dialogs->entries().isEmpty());
}

void TestWindow::customerKey_data()
{
    QTest::addColumn<QString>("license");
    QTest::addColumn<QString>("key");
    QTest::newRow("fourteen with blanks") << "  ABCDEFGHIJKLMN   "
                                          << "EFGHIJKLMN";
    QTest::newRow("three") << "abc"
                           << "abc";
    QTest::newRow("exactly ten") << "0123456789"
                                 << "0123456789";
    QTest::newRow("control characters trimmed") << "\t\r\nXYZ\t"
                                                << "XYZ";
}

void TestWindow::customerKey()
{
    QFETCH(QString, license);
    QFETCH(QString, key);
    QVERIFY(F.sql({"delete from LICENSE", QStringLiteral("insert into LICENSE values ('%1')").arg(license)}));
    F.create()->FormShow();
    QCOMPARE(F.window->FCustomerKey, key);
}

void TestWindow::emptyTablesGiveEmptyTexts()
{
    QVERIFY(F.sql({"delete from SYSPROPS", "delete from SYSTEMINFO", "delete from LICENSE"}));
    gRegioCode = QStringLiteral("stale");
    F.create()->FormShow();
    QCOMPARE(F.window->FDbVersion, uint16_t{0});
    QCOMPARE(F.window->FDbUpdate, uint16_t{0});
    QCOMPARE(gRegioCode, QString());
    QCOMPARE(F.window->FDeelnemerNr, QString());
    QCOMPARE(F.window->FCustomerKey, QString());
}

void TestWindow::scriptNumbers_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<int>("scriptVersion");
    QTest::addColumn<QString>("lblUSql");
    QTest::newRow("highest of mixed case")
        << QStringList{"u1003.sql", "U1010.SQL", "u0999.sql"} << 1010 << "Versie uXXXX.sql: 1010";
    QTest::newRow("none") << QStringList{} << 0 << "Versie uXXXX.sql: 0";
    QTest::newRow("folders and others ignored")
        << QStringList{"u2000.sql/", "x3000.sql", "u1001.txt"} << 0 << "Versie uXXXX.sql: 0";
    // update.sql does not convert: the probe keeps the design texts and wants no conversion.
    QTest::newRow("update.sql") << QStringList{"u1003.sql", "update.sql"} << -1 << "Versie uXXXX.sql: ";
}

void TestWindow::scriptNumbers()
{
    QFETCH(QStringList, files);
    QFETCH(int, scriptVersion);
    QFETCH(QString, lblUSql);
    QFile::remove(F.updater + QStringLiteral("u1010.sql"));
    QVERIFY(F.putExe(QStringLiteral("139")));
    for (const QString &file : files) {
        if (file.endsWith(u'/'))
            QDir().mkpath(F.updater + file);
        else
            testsupport::writeFile(F.updater + file, "");
    }
    F.create()->FormShow();
    QCOMPARE(F.text("LblUSql"), lblUSql);
    if (scriptVersion < 0) {
        QCOMPARE(F.window->FExeDbVersion, F.window->FDbVersion);
        QCOMPARE(F.window->FScriptVersion, uint16_t{0});
        QCOMPARE(F.text("LblEXE"), QStringLiteral("Versie KLV.EXE: "));
        QVERIFY(!F.child<QPushButton>("BtnUpdate")->isEnabled());
    } else {
        QCOMPARE(int(F.window->FScriptVersion), scriptVersion);
        QCOMPARE(F.window->FExeDbVersion, uint16_t{139});
        QVERIFY(F.child<QPushButton>("BtnUpdate")->isEnabled()); // 137 < 139
    }
    QVERIFY(F.dialogs->entries().isEmpty());
}

void TestWindow::missingExeKeepsLabels()
{
    QFile::remove(F.install + QStringLiteral("KLV.EXE"));
    QVERIFY(F.sql({"update SYSPROPS set VERSIENUMMER = 130, IUPDATE_SPP = 1"}));
    F.create()->FormShow();
    QCOMPARE(F.window->FExeDbVersion, uint16_t{130});
    QCOMPARE(F.window->FScriptVersion, uint16_t{0});
    QCOMPARE(F.text("LblEXE"), QStringLiteral("Versie KLV.EXE: "));
    QCOMPARE(F.text("LblUSql"), QStringLiteral("Versie uXXXX.sql: "));
    QVERIFY(!F.child<QPushButton>("BtnUpdate")->isEnabled());
    QVERIFY(F.dialogs->entries().isEmpty());
}

void TestWindow::updateButtonEnabledByNewScript()
{
    F.create()->FormShow();
    QCOMPARE(F.window->FDbVersion, uint16_t{137});
    QCOMPARE(F.window->FScriptVersion, uint16_t{1010});
    QVERIFY(!F.child<QPushButton>("BtnUpdate")->isEnabled());
    testsupport::writeFile(F.updater + QStringLiteral("u1011.sql"), "");
    F.window->ShowVersions();
    QVERIFY(F.child<QPushButton>("BtnUpdate")->isEnabled());
    QCOMPARE(F.text("LblUSql"), QStringLiteral("Versie uXXXX.sql: 1011"));
    // Never disabled again by the probe.
    QFile::remove(F.updater + QStringLiteral("u1011.sql"));
    F.window->ShowVersions();
    QVERIFY(F.child<QPushButton>("BtnUpdate")->isEnabled());
}

void TestWindow::blobSizeOnceAfterSeveralProbes()
{
    F.create();
    for (int i = 0; i < 3; ++i)
        F.window->FormShow();
    QCOMPARE(F.window->gblKlvDBS->Params.count(QStringLiteral("BLOB SIZE")), 1);
    QCOMPARE(F.window->gblKlvDBS->Params.value(QStringLiteral("BLOB SIZE")), QStringLiteral("128"));
    QCOMPARE(F.window->gblKlvDBS->Params.size(), 1);
    QCOMPARE(F.window->gblKlvDBS->openCount(), 4); // creation plus one reconnect per probe
}

void TestWindow::otherUsersOnPostgres()
{
    KLV_SKIP_WITHOUT_DRIVER(QStringLiteral("QPSQL"));
    testsupport::PgTestDatabase pg;
    QVERIFY(pg.isValid());
    pg.addAlias(F.ini, QStringLiteral("PG"));
    QVERIFY(testsupport::execAll(
        pg.connection(), {"insert into SYSPROPS (VERSIENUMMER, IUPDATE_SPP, DAUTOUPDATE_SPP) values (140, 1200, null)",
                          "insert into SYSTEMINFO values ('03', '99')", "insert into LICENSE values ('PGKEY')"}));
    // The set-up connection stays open: one other user.
    F.create({QStringLiteral("0"), QStringLiteral("0"), QStringLiteral("PG")})->show();
    QCOMPARE(F.dialogs->texts(Kind::Information),
             QStringList{QStringLiteral("Er zijn nog andere gebruikers actief. Sluit Kelvora op die P.C's")});
    QCOMPARE(F.window->FDbVersion, uint16_t{140});
    QCOMPARE(F.window->FCustomerKey, QStringLiteral("PGKEY"));
    QCOMPARE(F.window->FScriptVersion, uint16_t{1010}); // the probe completed
    QVERIFY(pg.closeConnection());
    F.dialogs->clear();
    F.window->FormShow();
    QVERIFY(F.dialogs->entries().isEmpty());
}

void TestWindow::probeFailureReachesErrorDisplay()
{
    QVERIFY(F.sql({"drop table SYSTEMINFO"}));
    F.create()->show();
    // The reconnect went well; reading the region code failed and ended the probe.
    QCOMPARE(F.dialogs->texts(Kind::Information), QStringList{});
    QCOMPARE(F.dialogs->texts(Kind::Error).size(), 1);
    QCOMPARE(F.text("LblDB"), QStringLiteral("Versie KLV-database: "));
    QCOMPARE(F.text("LblEXE"), QStringLiteral("Versie KLV.EXE: "));
}

void TestWindow::closeSavesListAndStartsMainProgram()
{
    F.updater = F.dir->filePath(QStringLiteral("Elsewhere")) + u'/';
    QDir().mkpath(F.updater);
    testsupport::writeFile(F.updater + QStringLiteral("KLV.exe"), "");
    testsupport::writeFile(F.install + QStringLiteral("WeHave.klv"), "klv.exe=5\r\nhelp.dll=7\r\n");
    F.create();
    QCOMPARE(*F.window->FWeHave, (QStringList{"klv.exe=5", "help.dll=7"}));
    F.window->FWeHave->append(QStringLiteral("caf\u00E9.dll=8"));
    F.window->close();
    QTRY_VERIFY(F.window.isNull());
    QCOMPARE(testsupport::readFile(F.install + QStringLiteral("WeHave.klv")),
             QByteArray("klv.exe=5\r\nhelp.dll=7\r\ncaf\xE9.dll=8\r\n"));
    QCOMPARE(F.shell->executes.size(), 1);
    // Started from the updater's own folder, found whatever the case of its name.
    QCOMPARE(QFileInfo(F.shell->executes[0].file), QFileInfo(F.updater + QStringLiteral("KLV.exe")));
    QCOMPARE(F.shell->executes[0].params, QStringLiteral("KLV"));
    QCOMPARE(F.shell->executes[0].dir, QString());
    QVERIFY(F.dialogs->entries().isEmpty());
}

void TestWindow::emptyListLeavesFileAlone()
{
    F.create();
    QVERIFY(F.window->FWeHave->isEmpty());
    testsupport::writeFile(F.install + QStringLiteral("WeHave.klv"), "written meanwhile\r\n");
    F.window->close();
    QTRY_VERIFY(F.window.isNull());
    QCOMPARE(testsupport::readFile(F.install + QStringLiteral("WeHave.klv")), QByteArray("written meanwhile\r\n"));
}

void TestWindow::mainProgramNotStarted()
{
    F.shell->executeResult = 2;
    F.create();
    F.window->close();
    QTRY_VERIFY(F.window.isNull());
    QCOMPARE(F.dialogs->texts(Kind::Error), QStringList{QStringLiteral("Kan Kelvora niet starten.")});
}

// A list that cannot be saved is said, in the message and AuError.txt, and the old file stays;
// Kelvora is started all the same.
void TestWindow::failedSaveStillStartsMainProgram()
{
    F.create();
    F.window->FWeHave->append(QStringLiteral("help.dll=7"));
    const QString path = F.install + QStringLiteral("WeHave.klv");
    QVERIFY(QDir().mkpath(path)); // a folder took the file's place
    F.window->close();
    QTRY_VERIFY(F.window.isNull());
    const QString expected = QStringLiteral("Kan %1 niet opslaan: ").arg(QDir::toNativeSeparators(path));
    const QStringList errors = F.dialogs->texts(Kind::Error);
    QCOMPARE(errors.size(), 1);
    QVERIFY2(errors[0].startsWith(expected), qPrintable(errors[0]));
    QVERIFY(testsupport::readFile(F.install + QStringLiteral("AuError.txt")).contains(expected.toLatin1()));
    QVERIFY(QFileInfo(path).isDir());
    QCOMPARE(F.shell->executes.size(), 1);
    QCOMPARE(F.shell->executes[0].params, QStringLiteral("KLV"));
}

void TestWindow::noDatabaseAtAll()
{
    testsupport::writeFile(F.ini, "");
    testsupport::writeFile(F.install + QStringLiteral("WeHave.klv"), "klv.exe=5\r\n");
    F.create({QStringLiteral("0"), QStringLiteral("0"), QStringLiteral("NOPE")});
    // One warning, then the error of the second attempt on the standard error display.
    QCOMPARE(F.dialogs->texts(Kind::Warning), QStringList{QStringLiteral("Changing: NOPE")});
    QCOMPARE(F.dialogs->texts(Kind::Error).size(), 1);
    QVERIFY(F.window->FWeHave);
    QCOMPARE(F.window->FWeHave->size(), 1);
    QVERIFY2(F.dialogs->texts(Kind::Error)[0].startsWith(
                 QStringLiteral("De database kan niet worden geopend (alias ODBC_OVT, gegevensbron ODBC_OVT).")),
             qPrintable(F.dialogs->texts(Kind::Error)[0]));
    F.window->show(); // the probe fails as well, but says nothing new; the window stands
    QVERIFY(F.window->isVisible());
    QCOMPARE(F.dialogs->entries().size(), 2);
    F.window->close();
    QTRY_VERIFY(F.window.isNull());
    QCOMPARE(F.shell->executes.size(), 1);
    QCOMPARE(F.shell->executes[0].params, QStringLiteral("ODBC_OVT"));
}

// As a Windows user works without a mouse: the focus starts on "Ophalen", Enter presses the
// focused button, Tab goes round without getting stuck in a log, Escape closes.
void TestWindow::keyboard()
{
    F.create()->show();
    F.window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(F.window));
    auto *download = F.child<QPushButton>("BtnDownload");
    QCOMPARE(QApplication::focusWidget(), download);

    // Round the window: every stop is a control that does something, and the round ends where it began.
    QList<QWidget *> stops;
    for (int i = 0; i < 20 && (stops.isEmpty() || QApplication::focusWidget() != download); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        stops << QApplication::focusWidget();
    }
    QCOMPARE(stops.last(), download);
    QVERIFY(!stops.contains(F.child<QPlainTextEdit>("Memo1")));
    QVERIFY(F.child<QPlainTextEdit>("Memo1")->isReadOnly());

    auto *renew = F.child<QPushButton>("BtnNewAU");
    renew->setFocus();
    F.dialogs->queueAnswer(false);
    QTest::keyClick(renew, Qt::Key_Return);
    QCOMPARE(F.dialogs->texts(Kind::Confirmation), QStringList{QStringLiteral("Nieuwe autoupdate ophalen?")});

    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    QTRY_VERIFY(F.window.isNull());
    QCOMPARE(F.shell->executes.size(), 1); // closed as by "Sluiten": Kelvora starts
}

// Enter and Escape on a question never answer "Ja": the backup question and the others start
// something that cannot be undone.
void TestWindow::questionsDefaultToNo()
{
    for (const int key : {int(Qt::Key_Return), int(Qt::Key_Escape)}) {
        QString defaultText;
        QTimer::singleShot(0, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            QVERIFY(box);
            defaultText = box->defaultButton()->text();
            QTest::keyClick(box, Qt::Key(key));
        });
        QtDialogs dialogs;
        QVERIFY(!dialogs.confirm(QStringLiteral("Heeft u een backup van de database gemaakt?")));
        QCOMPARE(defaultText, QStringLiteral("Nee"));
    }
}

void TestWindow::placement_data()
{
    QTest::addColumn<QRect>("available");
    QTest::addColumn<QRect>("placed");
    // 1280 x 800 at 200 %: 640 x 400 units, less a task bar of 24.
    QTest::newRow("full HD at 100 %") << QRect(0, 0, 1920, 1040) << QRect(739, 291, 441, 488);
    QTest::newRow("1280x800 at 200 %") << QRect(0, 0, 640, 376) << QRect(99, 30, 441, 346);
    QTest::newRow("second screen, left of the first") << QRect(-1280, 0, 1280, 1000) << QRect(-861, 271, 441, 488);
    QTest::newRow("smaller than the minimum") << QRect(0, 0, 400, 250) << QRect(0, 30, 441, 300);
}

// The window opens fully on its screen, its title bar within reach, at any scaling.
void TestWindow::placement()
{
    QFETCH(QRect, available);
    QFETCH(QRect, placed);
    QCOMPARE(placeOnScreen(QSize(441, 488), QSize(441, 300), available, 30), placed);
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
