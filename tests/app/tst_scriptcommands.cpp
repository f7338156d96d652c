#include "AutoUpdateFrm.h"
#include "archive/ZLBWriter.h"
#include "db/KlvDatabase.h"
#include "platform/Exceptions.h"

#include "TestSupport.h"
#include "WindowFixture.h"

#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QTest>

using namespace klv;

// The update script interpreter and the unzip and query commands, through the window.
class TestScriptCommands : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void interpreter_data();
    void interpreter();
    void lineWithoutDollarAborts_data();
    void lineWithoutDollarAborts();
    void eraseFile();
    void unzip_data();
    void unzip();
    void corruptArchiveReachesCaller();
    void queryFile_data();
    void queryFile();
    void queryFileMissing();
    void execSplitsParameters_data();
    void execSplitsParameters();
    void execFailureStopsRun_data();
    void execFailureStopsRun();

private:
    QStringList log() { return F.child<QPlainTextEdit>("Memo1")->toPlainText().split(u'\n', Qt::SkipEmptyParts); }
    QStringList rows() { return F.column(QStringLiteral("select V from T order by rowid")); }

    WindowFixture F;
};

void TestScriptCommands::initTestCase()
{
    QVERIFY(WindowFixture::prepareTemplates());
}

void TestScriptCommands::init()
{
    F.setUp();
    QVERIFY(F.sql({"create table T (V varchar(20))"}));
    F.create()->show();
}

void TestScriptCommands::cleanup()
{
    F.tearDown();
}

void TestScriptCommands::interpreter_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<QString>("started"); // relative to the installation folder; empty: nothing
    QTest::newRow("unknown command") << "unpack$x.zlb" << QStringList{"Script-fout: unpack$x.zlb"} << "";
    QTest::newRow("capital letter") << "Unzip$x.zlb" << QStringList{"Script-fout: Unzip$x.zlb"} << "";
    QTest::newRow("leading blank") << " exec$x.exe" << QStringList{"Script-fout:  exec$x.exe"} << "";
    QTest::newRow("forcedupdate") << "forcedupdate$whatever it says" << QStringList{} << "";
    QTest::newRow("exec, blanks dropped") << "exec$  setup.exe \t" << QStringList{} << "setup.exe";
    QTest::newRow("exec, second dollar kept") << "exec$a$b.exe" << QStringList{} << "a$b.exe";
    // 120 characters after the '$': the first 100 are kept, then trimmed.
    QTest::newRow("argument cut before trimming")
        << QStringLiteral("exec$") + QString(10, u' ') + QString(90, u'x') + QString(20, u'y') << QStringList{}
        << QString(90, u'x');
    QTest::newRow("empty command") << "$x" << QStringList{"Script-fout: $x"} << "";
}

void TestScriptCommands::interpreter()
{
    QFETCH(QString, line);
    QFETCH(QStringList, log);
    QFETCH(QString, started);
    F.window->RunScriptLine(line);
    QCOMPARE(this->log(), log);
    if (started.isEmpty()) {
        QVERIFY(F.shell->executes.isEmpty());
    } else {
        QCOMPARE(F.shell->executes.size(), 1);
        QCOMPARE(F.shell->executes[0].file, F.install + started);
        QCOMPARE(F.shell->executes[0].verb, QString());
        QCOMPARE(F.shell->executes[0].params, QString());
        QCOMPARE(F.shell->executes[0].dir, QString());
        QCOMPARE(F.shell->executes[0].show, 1);
    }
}

void TestScriptCommands::lineWithoutDollarAborts_data()
{
    QTest::addColumn<QString>("line");
    QTest::newRow("empty") << "";
    QTest::newRow("no dollar") << "unzip x.zlb";
}

void TestScriptCommands::lineWithoutDollarAborts()
{
    QFETCH(QString, line);
    QVERIFY_THROWS_EXCEPTION(EAbort, F.window->RunScriptLine(line));
    QCOMPARE(F.child<QPlainTextEdit>("Memo1")->toPlainText(), QStringLiteral("Script-fout: ") + line);
}

void TestScriptCommands::eraseFile()
{
    const QString path = F.updater + QStringLiteral("Old.DLL");
    testsupport::writeFile(path, "old");
    QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup);
    F.window->RunScriptLine(QStringLiteral("erasefile$ old.dll"));
    QVERIFY(!QFile::exists(path));
    F.window->RunScriptLine(QStringLiteral("erasefile$missing.dll"));
    QDir().mkpath(F.updater + QStringLiteral("folder"));
    F.window->RunScriptLine(QStringLiteral("erasefile$folder"));
    QVERIFY(QFileInfo(F.updater + QStringLiteral("folder")).isDir());
    QVERIFY(log().isEmpty());
}

void TestScriptCommands::unzip_data()
{
    QTest::addColumn<QString>("subfolder");
    QTest::newRow("installation folder") << "";
    QTest::newRow("subfolder") << "Extra\\";
}

void TestScriptCommands::unzip()
{
    QFETCH(QString, subfolder);
    const QString folder = F.install + QString(subfolder).replace(u'\\', u'/');
    QDir().mkpath(folder);
    testsupport::writeFile(folder + QStringLiteral("help.dll"), "old contents");
    {
        ZLBWriter writer(folder + QStringLiteral("pkg.zlb"));
        writer.addData("new contents", QStringLiteral("help.dll"));
        writer.addData("stored", QStringLiteral("readme.txt"), QStringLiteral("docs"), true);
        writer.finish();
    }
    if (subfolder.isEmpty())
        F.window->RunScriptLine(QStringLiteral("unzip$  pkg.zlb  "));
    else
        F.window->UnzipArchive(QStringLiteral("pkg.zlb"), subfolder);
    QCOMPARE(log(), QStringList{QStringLiteral("Unzip ") + F.install + subfolder + QStringLiteral("pkg.zlb")});
    QCOMPARE(testsupport::readFile(folder + QStringLiteral("help.dll")), QByteArray("new contents"));
    QCOMPARE(testsupport::readFile(folder + QStringLiteral("readme.txt")), QByteArray("stored")); // without its path
}

void TestScriptCommands::corruptArchiveReachesCaller()
{
    {
        ZLBWriter writer(F.install + QStringLiteral("bad.zlb"));
        writer.addData(QByteArray(5000, 'a'), QStringLiteral("a.dat"));
        writer.finish();
    }
    QByteArray bytes = testsupport::readFile(F.install + QStringLiteral("bad.zlb"));
    bytes[10] = char(bytes[10] ^ 0x55);
    testsupport::writeFile(F.install + QStringLiteral("bad.zlb"), bytes);
    QVERIFY_THROWS_EXCEPTION(Exception, F.window->RunScriptLine(QStringLiteral("unzip$bad.zlb")));
    QVERIFY_THROWS_EXCEPTION(Exception, F.window->RunScriptLine(QStringLiteral("unzip$missing.zlb")));
    QVERIFY(!QFile::exists(F.install + QStringLiteral("a.dat")));
}

void TestScriptCommands::queryFile_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<bool>("fails");
    const QByteArray a = "insert into T values ('a')";
    const QByteArray b = "insert into T values ('b')";
    QTest::newRow("header only") << QByteArray("138") << QStringList{} << false;
    QTest::newRow("header skipped") << "138\r\n" + a + "\r\n;\r\n" << QStringList{"a"} << false;
    QTest::newRow("000 is SQL") << "000\r\n" + a + "\r\n;\r\n" << QStringList{} << true;
    QTest::newRow("last line runs with its statement")
        << a + "\r\n;\r\ninsert into T\r\nvalues ('b')" << QStringList{"a", "b"} << false;
    QTest::newRow("line starting with ; ends") << a + ";\r\n;and the rest\r\n" + b + "\r\n;\r\n"
                                               << QStringList{"a", "b"} << false;
    QTest::newRow("go in lower case ends, gone too") << a + "\r\ngo\r\n" + b + "\r\ngone\r\n"
                                                     << QStringList{"a", "b"} << false;
    QTest::newRow("GO in capitals is SQL") << a + "\r\nGO\r\n;\r\n" << QStringList{} << true;
    QTest::newRow("two terminators") << a + "\r\n;\r\n;\r\n" + b + "\r\n;\r\n" << QStringList{"a", "b"} << false;
    QTest::newRow("comments and empty lines") << "-- note\r\n\r\n" + a + "\r\n  -- kept\r\n;\r\n"
                                              << QStringList{"a"} << false;
    QTest::newRow("transaction lines dropped") << "BEGIN TRANSACTION\r\n" + a + "\r\nx COMMIT WORK y\r\n;\r\n"
                                               << QStringList{"a"} << false;
    QTest::newRow("lower-case begin transaction is SQL") << "begin transaction\r\n" + a + "\r\n;\r\n"
                                                         << QStringList{} << true;
    QTest::newRow("colon is no parameter")
        << QByteArray("insert into T values (':x 12:30')\r\n;\r\n") << QStringList{":x 12:30"} << false;
    // What a file carries after its last statement is no statement of its own.
    QTest::newRow("blank last line") << a + "\r\n;\r\n  \t" << QStringList{"a"} << false;
    QTest::newRow("blank statement between two") << a + "\r\n;\r\n   \r\n;\r\n" + b + "\r\n;\r\n"
                                                 << QStringList{"a", "b"} << false;
    QTest::newRow("GO in capitals after the last statement") << a + "\r\nGO\r\n" << QStringList{"a"} << false;
    QTest::newRow("GO and blanks after the last statement") << a + "\r\n;\r\n" + b + "\r\n  GO \r\n \r\n"
                                                            << QStringList{"a", "b"} << false;
    QTest::newRow("failure keeps earlier statements")
        << a + "\r\n;\r\ninsert into NOPE values (1)\r\n;\r\n" + b + "\r\n;\r\n"
        << QStringList{"a"} << true;
}

void TestScriptCommands::queryFile()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, rows);
    QFETCH(bool, fails);
    F.putFile(QStringLiteral("fix.sql"), file);
    if (fails)
        QVERIFY_THROWS_EXCEPTION(EDBEngineError, F.window->RunScriptLine(QStringLiteral("query$fix.sql")));
    else
        F.window->RunScriptLine(QStringLiteral("query$fix.sql"));
    QCOMPARE(this->rows(), rows);
    QCOMPARE(log(), QStringList{"ExecQuery"});
    QVERIFY(!F.window->gblKlvDBS->InTransaction());
}

void TestScriptCommands::queryFileMissing()
{
    QVERIFY_THROWS_EXCEPTION(EInOutError, F.window->ExecQueryFile(QStringLiteral("nope.sql")));
    QCOMPARE(log(), QStringList{"ExecQuery"});
}

void TestScriptCommands::execSplitsParameters_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("existing"); // a file of the installation folder
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("params");
    QTest::newRow("one parameter") << "exec$setup.exe /S"
                                   << ""
                                   << "setup.exe"
                                   << "/S";
    QTest::newRow("several parameters") << "exec$setup.exe  /S /D=C:\\Klv"
                                        << ""
                                        << "setup.exe"
                                        << "/S /D=C:\\Klv";
    QTest::newRow("quoted name") << "exec$\"my setup.exe\" /S"
                                 << ""
                                 << "my setup.exe"
                                 << "/S";
    QTest::newRow("quoted name alone") << "exec$\"my setup.exe\""
                                       << ""
                                       << "my setup.exe"
                                       << "";
    QTest::newRow("existing name with a blank") << "exec$my setup.exe"
                                                << "my setup.exe"
                                                << "my setup.exe"
                                                << "";
    QTest::newRow("unclosed quote") << "exec$\"setup.exe /S"
                                    << ""
                                    << "\"setup.exe"
                                    << "/S";
}

void TestScriptCommands::execSplitsParameters()
{
    QFETCH(QString, line);
    QFETCH(QString, existing);
    QFETCH(QString, program);
    QFETCH(QString, params);
    if (!existing.isEmpty())
        testsupport::writeFile(F.install + existing, "MZ");
    F.window->RunScriptLine(line);
    QCOMPARE(F.shell->executes.size(), 1);
    QCOMPARE(F.shell->executes[0].file, F.install + program);
    QCOMPARE(F.shell->executes[0].params, params);
    QVERIFY(log().isEmpty());
}

// A program that cannot be started is a script error with its reason, in both logs, and the
// run stops there.
void TestScriptCommands::execFailureStopsRun_data()
{
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("reason");
    QTest::newRow("file not found") << 2 << "bestand niet gevonden";
    QTest::newRow("access denied") << 5 << "toegang geweigerd";
    QTest::newRow("no association") << 31 << "geen programma gekoppeld aan dit bestandstype";
    QTest::newRow("out of memory") << 0 << "onvoldoende geheugen";
    QTest::newRow("other") << 12 << "kan niet worden gestart (fout 12)";
}

void TestScriptCommands::execFailureStopsRun()
{
    QFETCH(int, result);
    QFETCH(QString, reason);
    F.shell->executeResult = result;
    const QString expected = QStringLiteral("Script-fout: exec$setup.exe /S (%1)").arg(reason);
    try {
        F.window->RunScriptLine(QStringLiteral("exec$setup.exe /S"));
        QFAIL("no exception");
    } catch (const Exception &e) {
        QCOMPARE(e.message(), expected);
    }
    QCOMPARE(log(), QStringList{expected});
    QVERIFY(testsupport::readFile(F.install + QStringLiteral("AuError.txt")).endsWith(expected.toLatin1()));
}

QTEST_MAIN(TestScriptCommands)
#include "tst_scriptcommands.moc"
