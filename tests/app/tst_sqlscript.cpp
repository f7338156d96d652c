#include "SqlScript.h"

#include "TestSupport.h"

#include <QTest>

using namespace klv::sqlscript;

// The text rules of script files: scrambled form, header, lines and statements.
class TestSqlScript : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void restoreRoundTrip_data();
    void restoreRoundTrip();
    void restoreKeepsHighBytesAndHead();
    void requiredVersion_data();
    void requiredVersion();
    void headerLine_data();
    void headerLine();
    void splitLines_data();
    void splitLines();
    void statements_data();
    void statements();
    void selfContained_data();
    void selfContained();
};

void TestSqlScript::restoreRoundTrip_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::newRow("header and two statements") << QByteArray("138\r\ninsert into T values (1);\r\n;\r\nGO\r\n");
    QTest::newRow("high bytes") << QByteArray("000caf\xE9 \x80\xFF na\xEF"
                                              "ef\r\n");
    QTest::newRow("control characters") << QByteArray("abc\t\x01\x02\r\x7E");
    QTest::newRow("exactly three") << QByteArray("123");
    QTest::newRow("long") << QByteArray(5000, 'a') + QByteArray(3000, '\n');
}

void TestSqlScript::restoreRoundTrip()
{
    QFETCH(QByteArray, payload);
    QCOMPARE(restore(testsupport::scrambleScript(payload)), payload);
    QCOMPARE(restore(payload), payload); // a plain file is used whole
}

void TestSqlScript::restoreKeepsHighBytesAndHead()
{
    // Hand-computed: payload length 5, byte 3 stored as 'A' (65) gives 65 + 3 - 5 = 63 ('?'),
    // byte 4 stored as 0 gives 0 + 4 - 5 = -1 + 127 = 126 ('~').
    QCOMPARE(restore(QByteArray("X..\xE9"
                                "ZZA\0",
                                8)),
             QByteArray("\xE9ZZ?~"));
    QCOMPARE(restore(QByteArray("X..ab\x90")), QByteArray("ab\x90"));
    QCOMPARE(restore("X"), QByteArray());
}

void TestSqlScript::requiredVersion_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("version");
    QTest::newRow("plain header") << QByteArray("138\r\nselect 1\r\n;\r\n") << 138;
    QTest::newRow("scrambled header") << testsupport::scrambleScript("139\r\nselect 1\r\n;\r\n") << 139;
    QTest::newRow("zeros") << QByteArray("000\r\n") << 0;
    QTest::newRow("letters") << QByteArray("upd\r\n") << 0;
    QTest::newRow("negative") << QByteArray("-12\r\n") << 0;
    QTest::newRow("short file") << QByteArray("12") << 12;
    QTest::newRow("empty") << QByteArray() << 0;
}

void TestSqlScript::requiredVersion()
{
    QFETCH(QByteArray, file);
    QFETCH(int, version);
    QCOMPARE(int(klv::sqlscript::requiredVersion(file)), version);
}

void TestSqlScript::headerLine_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("header");
    QTest::newRow("138") << "138" << true;
    QTest::newRow("000") << "000" << false;
    QTest::newRow("letters") << "abc" << false;
    QTest::newRow("four digits") << "1380" << false;
    QTest::newRow("with blank") << "138 " << false;
    QTest::newRow("two digits") << "12" << false;
}

void TestSqlScript::headerLine()
{
    QFETCH(QString, line);
    QFETCH(bool, header);
    QCOMPARE(isHeaderLine(line), header);
}

void TestSqlScript::splitLines_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("loneCr");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("crlf") << "a\r\nb\r\n" << true << QStringList{"a", "b"};
    QTest::newRow("lf, last without end") << "a\nb" << true << QStringList{"a", "b"};
    QTest::newRow("lone cr ends a line") << "a\rb\r\n" << true << QStringList{"a", "b"};
    QTest::newRow("lone cr stays inside") << "a\rb\r\n" << false << QStringList{"a\rb"};
    QTest::newRow("empty lines kept") << "\n\na\n" << true << QStringList{"", "", "a"};
    QTest::newRow("empty") << "" << true << QStringList{};
}

void TestSqlScript::splitLines()
{
    QFETCH(QString, text);
    QFETCH(bool, loneCr);
    QFETCH(QStringList, lines);
    QCOMPARE(klv::sqlscript::splitLines(text, loneCr), lines);
}

void TestSqlScript::statements_data()
{
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QStringList>("expected"); // "sql|sql>T" per statement, T = ; go goo
    QTest::newRow("four lines") << QStringList{"create table A (X int)", ";", "insert into A values (1)", "GO"}
                                << QStringList{"create table A (X int)>;", "insert into A values (1)>go"};
    QTest::newRow("terminators in any case, trimmed")
        << QStringList{"  a  ", " gOo ", "b", "Go", "c", "\t;\t"} << QStringList{"a>goo", "b>go", "c>;"};
    QTest::newRow("ignored lines") << QStringList{"-- note", "", "begin transaction", "x", "COMMIT WORK", "--", ";"}
                                   << QStringList{"x>;"};
    QTest::newRow("only whole lines count")
        << QStringList{"select 1;", "from T -- why", "GOO;", ";"} << QStringList{"select 1;|from T -- why|GOO;>;"};
    QTest::newRow("empty statement kept") << QStringList{"a", ";", ";", "b", ";"} << QStringList{"a>;", ">;", "b>;"};
    QTest::newRow("unterminated last statement") << QStringList{"a", ";", "b", "c"} << QStringList{"a>;", "b|c>;"};
    QTest::newRow("trailing comment after terminator")
        << QStringList{"a", "GO", "-- end", ""} << QStringList{"a>go", ">;"};
    QTest::newRow("GOOO is SQL") << QStringList{"GOOO", ";"} << QStringList{"GOOO>;"};
}

void TestSqlScript::statements()
{
    QFETCH(QStringList, lines);
    QFETCH(QStringList, expected);
    QStringList actual;
    for (const Statement &s : klv::sqlscript::statements(lines)) {
        const char *t = s.terminator == Terminator::Goo ? "goo" : s.terminator == Terminator::Go ? "go" : ";";
        actual << s.sql.join(u'|') + u'>' + QLatin1String(t);
    }
    QCOMPARE(actual, expected);
}

void TestSqlScript::selfContained_data()
{
    QTest::addColumn<QStringList>("sql");
    QTest::addColumn<bool>("expected");
    QTest::newRow("insert") << QStringList{"insert into T", "values (1, 'a')"} << true;
    QTest::newRow("update, lower case, trailing ;") << QStringList{"update T set X = 1;"} << true;
    QTest::newRow("delete") << QStringList{"DELETE FROM T WHERE X = 2"} << true;
    QTest::newRow("create table") << QStringList{"create table A (X int)"} << true;
    QTest::newRow("create unique index") << QStringList{"create unique index I on A (X)"} << true;
    QTest::newRow("create or replace view") << QStringList{"create or replace view V as select 1"} << true;
    QTest::newRow("alter table") << QStringList{"alter table A add column Y int"} << true;
    QTest::newRow("drop table") << QStringList{"drop table if exists A"} << true;
    QTest::newRow("grant") << QStringList{"grant select on A to public"} << true;
    QTest::newRow("two statements") << QStringList{"insert into T values (1);", "insert into T values (2)"} << false;
    QTest::newRow("; inside a text") << QStringList{"insert into T values ('a;b')"} << false;
    QTest::newRow("function body") << QStringList{"create function f() returns int as $$ select 1; $$ language sql"}
                                   << false;
    QTest::newRow("index concurrently") << QStringList{"create index concurrently I on A (X)"} << false;
    QTest::newRow("create database") << QStringList{"create database D"} << false;
    QTest::newRow("drop tablespace") << QStringList{"drop tablespace S"} << false;
    QTest::newRow("alter system") << QStringList{"alter system set work_mem = '1MB'"} << false;
    QTest::newRow("vacuum") << QStringList{"vacuum A"} << false;
    QTest::newRow("lock") << QStringList{"lock table A"} << false;
    QTest::newRow("declare") << QStringList{"declare C cursor for select 1"} << false;
    QTest::newRow("set") << QStringList{"set search_path = x"} << false;
    QTest::newRow("commit in the text") << QStringList{"commit"} << false;
    QTest::newRow("a refused word as a column name") << QStringList{"select * from T where lock = 1"} << false;
    QTest::newRow("create role") << QStringList{"create role R"} << false;
    QTest::newRow("comment first") << QStringList{"/* x */ insert into T values (1)"} << false;
    QTest::newRow("empty") << QStringList{} << false;
    QTest::newRow("only ;") << QStringList{";"} << false;
}

// Only statements that run the same in a transaction of their own and committed by the server
// take the shortcut; anything in doubt keeps its transaction.
void TestSqlScript::selfContained()
{
    QFETCH(QStringList, sql);
    QFETCH(bool, expected);
    QCOMPARE(klv::sqlscript::isSelfContained(sql), expected);
}

QTEST_GUILESS_MAIN(TestSqlScript)
#include "tst_sqlscript.moc"
