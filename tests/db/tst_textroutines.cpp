#include "db/TextRoutines.h"
#include "platform/Exceptions.h"

#include <QTest>

using namespace klv;

// Amounts, version texts and substring positions.
class TestTextRoutines : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void rightChars_data();
    void rightChars();
    void textToFloat_data();
    void textToFloat();
    void posOfNth_data();
    void posOfNth();
    void versionNumbers_data();
    void versionNumbers();
    void versionNumbersRaise_data();
    void versionNumbersRaise();
    void compareVersions_data();
    void compareVersions();
    void compareVersionsRaises_data();
    void compareVersionsRaises();
};

void TestTextRoutines::rightChars_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("expected");
    QTest::newRow("last two of five") << "abcde" << 2 << "de";
    QTest::newRow("all") << "abcde" << 5 << "abcde";
    QTest::newRow("more than length") << "abc" << 10 << "abc";
    QTest::newRow("zero") << "abc" << 0 << "";
    QTest::newRow("negative") << "abc" << -2 << "";
    QTest::newRow("empty text") << "" << 3 << "";
    QTest::newRow("non-ascii") << "préférence" << 4 << "ence";
}

void TestTextRoutines::rightChars()
{
    QFETCH(QString, text);
    QFETCH(int, count);
    QFETCH(QString, expected);
    QCOMPARE(RightChars(text, static_cast<int16_t>(count)), expected);
}

void TestTextRoutines::textToFloat_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("expected");
    QTest::newRow("comma") << "12,50" << 12.5;
    QTest::newRow("point") << "12.50" << 12.5;
    QTest::newRow("negative") << "-3.25" << -3.25;
    QTest::newRow("plus") << "+7" << 7.0;
    QTest::newRow("second mark ends") << "1.234,5" << 1.234;
    QTest::newRow("sign inside ends") << "5-3" << 5.0;
    QTest::newRow("leading blank") << " 12" << 0.0;
    QTest::newRow("empty") << "" << 0.0;
    QTest::newRow("letters") << "abc" << 0.0;
    QTest::newRow("digits then letter") << "42kg" << 42.0;
    QTest::newRow("mark first") << ",75" << 0.75;
    QTest::newRow("mark last") << "8," << 8.0;
    QTest::newRow("sign only") << "-" << 0.0;
    QTest::newRow("two signs") << "--4" << 0.0;
    QTest::newRow("negative fraction") << "-0,5" << -0.5;
    QTest::newRow("trailing blank") << "3,5 " << 3.5;
    QTest::newRow("long") << "123456789012,125" << 123456789012.125;
}

void TestTextRoutines::textToFloat()
{
    QFETCH(QString, text);
    QFETCH(double, expected);
    const double value = TextToFloat(text);
    QVERIFY2(qAbs(value - expected) <= 1e-12 * qMax(1.0, qAbs(expected)), qPrintable(QString::number(value, 'g', 17)));
}

void TestTextRoutines::posOfNth_data()
{
    QTest::addColumn<QString>("sub");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("n");
    QTest::addColumn<int>("expected");
    QTest::newRow("first dot") << "."
                               << "1.2.3" << 1 << 2;
    QTest::newRow("second dot") << "."
                                << "1.2.3" << 2 << 4;
    QTest::newRow("last dot") << "."
                              << "1.2.3" << 0 << 4;
    QTest::newRow("beyond count: last found") << "."
                                              << "1.2.3" << 5 << 4;
    QTest::newRow("none") << "."
                          << "123" << 1 << 0;
    QTest::newRow("none, last") << "."
                                << "123" << 0 << 0;
    QTest::newRow("empty text") << "."
                                << "" << 0 << 0;
    QTest::newRow("empty sub") << ""
                               << "abc" << 0 << 0;
    QTest::newRow("longer sub") << "ab"
                                << "xabyab" << 2 << 5;
    QTest::newRow("overlapping") << "aa"
                                 << "aaaa" << 0 << 3;
    QTest::newRow("overlapping second") << "aa"
                                        << "aaaa" << 2 << 2;
    QTest::newRow("case sensitive") << "A"
                                    << "aaA" << 1 << 3;
    QTest::newRow("n 255") << "."
                           << "1.2.3.4" << 255 << 6;
}

void TestTextRoutines::posOfNth()
{
    QFETCH(QString, sub);
    QFETCH(QString, text);
    QFETCH(int, n);
    QFETCH(int, expected);
    QCOMPARE(PosOfNth(sub, text, static_cast<uint8_t>(n)), expected);
}

void TestTextRoutines::versionNumbers_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<int>("main");
    QTest::addColumn<int>("build");
    QTest::newRow("1.2.3.4") << "1.2.3.4" << 123 << 4;
    QTest::newRow("136.46.0.12") << "136.46.0.12" << 136460 << 12;
    QTest::newRow("0.0.0.0") << "0.0.0.0" << 0 << 0;
    QTest::newRow("joined digits coincide a") << "1.10.0.0" << 1100 << 0;
    QTest::newRow("joined digits coincide b") << "11.0.0.0" << 1100 << 0;
    QTest::newRow("three numbers") << "5.2.7" << 52 << 7;
    QTest::newRow("two numbers") << "5.2" << 5 << 2;
    QTest::newRow("leading zeros") << "05.02.00.0010" << 50200 << 10;
}

void TestTextRoutines::versionNumbers()
{
    QFETCH(QString, version);
    QFETCH(int, main);
    QFETCH(int, build);
    QCOMPARE(VersionMainNumber(version), main);
    QCOMPARE(VersionBuildNumber(version), build);
}

void TestTextRoutines::versionNumbersRaise_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<bool>("mainRaises");
    QTest::addColumn<bool>("buildRaises");
    QTest::newRow("empty") << "" << true << true;
    QTest::newRow("letters") << "a.b.c.d" << true << true;
    QTest::newRow("build letter") << "1.2.3.x" << false << true;
    QTest::newRow("no dot") << "7" << true << false;
    QTest::newRow("joined too large") << "99999.99999.99999.1" << true << false;
    QTest::newRow("trailing dot") << "1.2.3." << false << true;
}

void TestTextRoutines::versionNumbersRaise()
{
    QFETCH(QString, version);
    QFETCH(bool, mainRaises);
    QFETCH(bool, buildRaises);
    bool raised = false;
    try {
        VersionMainNumber(version);
    } catch (const EConvertError &) {
        raised = true;
    }
    QCOMPARE(raised, mainRaises);
    raised = false;
    try {
        VersionBuildNumber(version);
    } catch (const EConvertError &) {
        raised = true;
    }
    QCOMPARE(raised, buildRaises);
}

void TestTextRoutines::compareVersions_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("expected");
    QTest::newRow("minor older") << "5.2.10.0"
                                 << "5.3.0.0" << -1;
    QTest::newRow("minor newer") << "5.3.0.0"
                                 << "5.2.10.0" << 1;
    QTest::newRow("equal") << "136.46.0.12"
                           << "136.46.0.12" << 0;
    QTest::newRow("build decides") << "1.2.3.4"
                                   << "1.2.3.10" << -1;
    QTest::newRow("joined digits coincide") << "1.10.0.0"
                                            << "11.0.0.0" << -1;
    QTest::newRow("leading zeros") << "5.02.0.0"
                                   << "5.2.0.0" << 0;
    QTest::newRow("missing numbers are zero") << "5.3"
                                              << "5.3.0.0" << 0;
    QTest::newRow("missing numbers older") << "5.3"
                                           << "5.3.0.1" << -1;
    QTest::newRow("beyond 32 bits") << "1.0.0.4294967296"
                                    << "1.0.0.4294967295" << 1;
    QTest::newRow("zero") << "0.0.0.0"
                          << "0.0.0.1" << -1;
}

void TestTextRoutines::compareVersions()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, expected);
    QCOMPARE(klv::compareVersions(a, b), expected);
    QCOMPARE(klv::compareVersions(b, a), -expected);
}

void TestTextRoutines::compareVersionsRaises_data()
{
    QTest::addColumn<QString>("version");
    QTest::newRow("empty") << "";
    QTest::newRow("letters") << "a.b.c.d";
    QTest::newRow("blank") << "5.2 .0.0";
    QTest::newRow("sign") << "5.-2.0.0";
    QTest::newRow("empty number") << "5..0.0";
    QTest::newRow("five numbers") << "1.2.3.4.5";
    QTest::newRow("suffix") << "1.2.3.4b";
}

void TestTextRoutines::compareVersionsRaises()
{
    QFETCH(QString, version);
    QVERIFY_THROWS_EXCEPTION(EConvertError, klv::compareVersions(version, QStringLiteral("1.0.0.0")));
    QVERIFY_THROWS_EXCEPTION(EConvertError, klv::compareVersions(QStringLiteral("1.0.0.0"), version));
}

QTEST_GUILESS_MAIN(TestTextRoutines)
#include "tst_textroutines.moc"
