#include "platform/Ansi.h"
#include "platform/Convert.h"
#include "platform/Exceptions.h"
#include "platform/Folders.h"
#include "platform/IniFile.h"
#include "platform/ScriptedDialogs.h"

#include "TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace klv;

class TestPlatform : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void ansiRoundTrip_data();
    void ansiRoundTrip();
    void ansiLinesEndings();
    void strToInt_data();
    void strToInt();
    void resolveIgnoresCase();
    void resolveKeepsMissingTail();
    void iniRules();
    void iniDuplicatesFirstWins();
    void iniByteOrderMark_data();
    void iniByteOrderMark();
    void scriptedDialogsRefuseUnexpectedQuestion();
    void exceptionClassNames();
};

void TestPlatform::ansiRoundTrip_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("ascii") << QByteArray("abc =1") << QStringLiteral("abc =1");
    QTest::newRow("e-diaeresis") << QByteArray("be\xEB"
                                               "indigd")
                                 << QStringLiteral("be\u00EBindigd");
    QTest::newRow("euro") << QByteArray("\x80") << QStringLiteral("\u20AC");
    QTest::newRow("quotes") << QByteArray("\x93x\x94") << QStringLiteral("\u201Cx\u201D");
    QTest::newRow("unassigned 0x81") << QByteArray("\x81") << QStringLiteral("\u0081");
    QTest::newRow("y-diaeresis") << QByteArray("\xFF\x9F") << QStringLiteral("\u00FF\u0178");
}

void TestPlatform::ansiRoundTrip()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QCOMPARE(ansi::decode(bytes), text);
    QCOMPARE(ansi::encode(text), bytes);
}

void TestPlatform::ansiLinesEndings()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("l.txt"));
    testsupport::writeFile(path, "a\r\nb\nc\r\rd");
    QCOMPARE(ansi::readLines(path), (QStringList{"a", "b", "c", "", "d"}));
    ansi::writeLines(path, {QStringLiteral("x=1"), QStringLiteral("\u00E9=2")});
    QCOMPARE(testsupport::readFile(path), QByteArray("x=1\r\n\xE9=2\r\n"));
    QCOMPARE(ansi::encode(QStringLiteral("\u4E2D")), QByteArray("?"));
}

void TestPlatform::strToInt_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("value");
    QTest::newRow("plain") << "1010" << true << 1010;
    QTest::newRow("leading zeros") << "0999" << true << 999;
    QTest::newRow("leading blanks") << "  12" << true << 12;
    QTest::newRow("trailing blank") << "12 " << false << 0;
    QTest::newRow("negative") << "-5" << true << -5;
    QTest::newRow("hex") << "$1F" << true << 31;
    QTest::newRow("letters") << "abc" << false << 0;
    QTest::newRow("pdat") << "pdat" << false << 0;
    QTest::newRow("empty") << "" << false << 0;
    QTest::newRow("sign only") << "-" << false << 0;
    QTest::newRow("max") << "2147483647" << true << 2147483647;
    QTest::newRow("min") << "-2147483648" << true << int(-2147483647 - 1);
    QTest::newRow("overflow") << "2147483648" << false << 0;
    QTest::newRow("huge") << "99999999999999999999" << false << 0;
    QTest::newRow("arabic digits") << QStringLiteral("\u0661") << false << 0;
}

void TestPlatform::strToInt()
{
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(int, value);
    int32_t got = 0;
    QCOMPARE(tryStrToInt(text, got), ok);
    if (ok)
        QCOMPARE(got, value);
    else
        QVERIFY_THROWS_EXCEPTION(EConvertError, klv::strToInt(text));
    QCOMPARE(strToIntDef(text, -7), ok ? value : -7);
}

// The name found is the file on disk, whatever the case asked for (looked up on Linux, native
// on Windows, where QFileInfo also compares without case).
void TestPlatform::resolveIgnoresCase()
{
    QTemporaryDir dir;
    testsupport::writeFile(dir.filePath(QStringLiteral("Sub/KLV.EXE")), "x");
    const Folders folders(dir.path(), dir.path());
    QCOMPARE(QFileInfo(folders.inInstallDir(QStringLiteral("sub\\klv.exe"))),
             QFileInfo(dir.path() + QStringLiteral("/Sub/KLV.EXE")));
    QCOMPARE(testsupport::readFile(folders.inInstallDir(QStringLiteral("sub\\klv.exe"))), QByteArray("x"));
    QCOMPARE(QFileInfo(folders.inInstallDir(QStringLiteral("Klv.exe"))),
             QFileInfo(dir.path() + QStringLiteral("/Klv.exe")));
    QVERIFY(folders.installDir().endsWith(u'/'));
}

void TestPlatform::resolveKeepsMissingTail()
{
    QTemporaryDir dir;
    QDir().mkpath(dir.filePath(QStringLiteral("Data")));
    const QString resolved = Folders::resolve(dir.path() + QStringLiteral("\\data\\new\\file.txt"));
    QCOMPARE(QFileInfo(resolved), QFileInfo(dir.path() + QStringLiteral("/Data/new/file.txt")));
    testsupport::writeFile(resolved, "y");
    QCOMPARE(testsupport::readFile(dir.path() + QStringLiteral("/Data/new/file.txt")), QByteArray("y"));
}

void TestPlatform::iniRules()
{
    const IniFile ini = IniFile::fromBytes("ignored=1\r\n"
                                           "[KLV137]\r\n"
                                           "  klv.exe = 5 \r\n"
                                           "; comment=1\r\n"
                                           "\r\n"
                                           "tools\\help.dll=0.0.0.0\r\n"
                                           "no equals sign\r\n"
                                           "[ sql137 ]\n"
                                           "x=\xEB\n");
    QCOMPARE(ini.sections(), (QStringList{"KLV137", "sql137"}));
    QCOMPARE(ini.readSection(QStringLiteral("klv137")), (QStringList{"klv.exe", "tools\\help.dll", ""}));
    QCOMPARE(ini.readString(QStringLiteral("KLV137"), QStringLiteral("KLV.EXE"), {}), QStringLiteral("5"));
    QCOMPARE(ini.readInteger(QStringLiteral("KLV137"), QStringLiteral("klv.exe"), -1), 5);
    QCOMPARE(ini.readInteger(QStringLiteral("KLV137"), QStringLiteral("tools\\help.dll"), -1), -1);
    QCOMPARE(ini.readString(QStringLiteral("SQL137"), QStringLiteral("x"), {}), QStringLiteral("\u00EB"));
    QVERIFY(!ini.sectionExists(QStringLiteral("CMD137")));
    QVERIFY(!ini.valueExists(QStringLiteral("KLV137"), QStringLiteral("ignored")));
}

void TestPlatform::iniDuplicatesFirstWins()
{
    const IniFile ini = IniFile::fromBytes("[a]\nk=1\nK=2\n[A]\nk=3\nz=4\n");
    QCOMPARE(ini.readString(QStringLiteral("a"), QStringLiteral("k"), {}), QStringLiteral("1"));
    QCOMPARE(ini.readSection(QStringLiteral("a")), (QStringList{"k", "K"}));
    QVERIFY(!ini.valueExists(QStringLiteral("a"), QStringLiteral("z")));
}

void TestPlatform::iniByteOrderMark_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("sections");
    QTest::newRow("mark before the first section")
        << QByteArray("\xEF\xBB\xBF[KLV137]\r\nx.dll=t\r\n") << QStringList{"KLV137"};
    QTest::newRow("mark alone") << QByteArray("\xEF\xBB\xBF") << QStringList{};
    // Only a whole mark at the very start is one; these bytes are text of the code page.
    QTest::newRow("cut mark") << QByteArray("\xEF\xBB[KLV137]\r\nx.dll=t\r\n") << QStringList{};
    QTest::newRow("mark later") << QByteArray("[KLV137]\r\n\xEF\xBB\xBF[SQL137]\r\n") << QStringList{"KLV137"};
}

void TestPlatform::iniByteOrderMark()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, sections);
    const IniFile ini = IniFile::fromBytes(bytes);
    QCOMPARE(ini.sections(), sections);
    if (sections.contains(QStringLiteral("KLV137")) && bytes.contains("x.dll"))
        QCOMPARE(ini.readString(QStringLiteral("KLV137"), QStringLiteral("x.dll"), {}), QStringLiteral("t"));
}

void TestPlatform::scriptedDialogsRefuseUnexpectedQuestion()
{
    ScriptedDialogs dialogs;
    dialogs.queueAnswer(false);
    QCOMPARE(dialogs.confirm(QStringLiteral("Q1")), false);
    QVERIFY_THROWS_EXCEPTION(Exception, dialogs.confirm(QStringLiteral("Q2")));
    QCOMPARE(dialogs.texts(Dialogs::Kind::Confirmation), (QStringList{"Q1", "Q2"}));
}

void TestPlatform::exceptionClassNames()
{
    const std::runtime_error foreign("boom");
    QCOMPARE(exceptionClassName(EDBEngineError(QStringLiteral("x"))), QStringLiteral("EDBEngineError"));
    QCOMPARE(exceptionClassName(EConvertError(QStringLiteral("x"))), QStringLiteral("EConvertError"));
    QCOMPARE(exceptionClassName(foreign), QStringLiteral("Exception"));
    QCOMPARE(exceptionMessage(foreign), QStringLiteral("boom"));
    QCOMPARE(EIdHTTPProtocolException(404, QStringLiteral("Not Found")).errorCode(), 404);
}

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
