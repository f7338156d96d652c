#include "platform/ServerAddress.h"

#include "TestSupport.h"

#include <QCoreApplication>
#include <QTest>

using namespace klv;

namespace {

QByteArray utf16(const QString &text)
{
    return QByteArray(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
}

// The address the build was configured with; it reaches the test through the environment so
// that the test's own executable does not hold it.
QString configuredAddress()
{
    QString plain = qEnvironmentVariable("KLV_TEST_BUILTIN_SERVER");
    while (plain.endsWith('/'))
        plain.chop(1);
    return plain;
}

} // namespace

class TestServerAddress : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void roundTrip_data();
    void roundTrip();
    void builtInIsTheConfiguredAddress();
    void environmentOverrides();
    void plainAddressNotInExecutable();
};

void TestServerAddress::roundTrip_data()
{
    QTest::addColumn<QString>("plain");
    QTest::newRow("http with port") << "http://10.1.2.3:8088";
    QTest::newRow("https host") << "https://updates.example.invalid";
    QTest::newRow("every printable") << QString::fromLatin1(" !\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVW"
                                                            "XYZ[\\]^_`abcdefghijklmnopqrstuvwxyz{|}~");
    QTest::newRow("outside 7 bits") << "http://b\u00FCcher.example/\u20AC";
    QTest::newRow("control characters") << "a\tb\x7F"
                                           "c";
    QTest::newRow("long") << QString("http://x.example/").repeated(20);
    QTest::newRow("empty") << "";
}

void TestServerAddress::roundTrip()
{
    QFETCH(QString, plain);
    const QString scrambled = scrambleServerBase(plain);
    QCOMPARE(scrambled.size(), plain.size() + 4);
    QCOMPARE(unscrambleServerBase(scrambled), plain);
    if (plain.size() > 8)
        QVERIFY(!scrambled.contains(plain.left(plain.size() / 2)));
    // Characters outside the printable 7-bit range pass unchanged; the rest stay printable.
    for (qsizetype i = 0; i < plain.size(); ++i) {
        const char16_t c = plain.at(i).unicode();
        const char16_t s = scrambled.at(i + 4).unicode();
        if (c < 0x20 || c > 0x7E)
            QCOMPARE(s, c);
        else
            QVERIFY(s >= 0x20 && s <= 0x7E);
    }
}

void TestServerAddress::builtInIsTheConfiguredAddress()
{
    const QString plain = configuredAddress();
    QVERIFY2(!plain.isEmpty(), "KLV_TEST_BUILTIN_SERVER is not set: run this test through ctest");
    QCOMPARE(unscrambleServerBase(scrambledServerBase()), plain);
    // The build's scrambler and ours agree character for character.
    QCOMPARE(scrambledServerBase(), scrambleServerBase(plain));
    qunsetenv("KLV_UPDATE_SERVER");
    QCOMPARE(serverBase(), plain);
}

void TestServerAddress::environmentOverrides()
{
    qputenv("KLV_UPDATE_SERVER", "http://127.0.0.1:18080//");
    QCOMPARE(serverBase(), QString("http://127.0.0.1:18080"));
    qputenv("KLV_UPDATE_SERVER", "");
    QCOMPARE(serverBase(), unscrambleServerBase(scrambledServerBase()));
    qunsetenv("KLV_UPDATE_SERVER");
}

void TestServerAddress::plainAddressNotInExecutable()
{
    const QString plain = configuredAddress();
    QVERIFY(!plain.isEmpty());
    const QByteArray image = testsupport::readFile(QCoreApplication::applicationFilePath());
    QVERIFY(image.size() > 10000);
    QVERIFY(!image.contains(plain.toUtf8()));
    QVERIFY(!image.contains(utf16(plain)));
    // The stored form is there, so the search itself works.
    QVERIFY(image.contains(utf16(scrambledServerBase())));
}

QTEST_GUILESS_MAIN(TestServerAddress)
#include "tst_serveraddress.moc"
