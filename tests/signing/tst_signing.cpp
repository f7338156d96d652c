#include "TestSupport.h"
#include "platform/BackgroundSha256.h"
#include "platform/Exceptions.h"
#include "platform/Sha256.h"
#include "signing/Ed25519.h"
#include "signing/ListSeal.h"
#include "signing/ListVerifier.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

using namespace klv;
using namespace klv::signing;

namespace {
QByteArray keyFile(const char *name)
{
    return testsupport::readFile(QStringLiteral(KLV_TEST_KEYS "/") + QLatin1String(name));
}
QByteArray seedOf(const char *name)
{
    return readSecretKeyText(keyFile(name)).value_or(QByteArray());
}
QByteArray publicOf(const char *name)
{
    return readPublicKeyText(keyFile(name)).value_or(QByteArray());
}

const QByteArray kPlainList = "[KLV137]\r\nhelp.dll=t3\r\n[SQL137]\r\nUPDATE=1011\r\n";

const QString kListName = QStringLiteral("whatsnewKEY.klv");

QByteArray sealedList(uint64_t serial, const QDate &expires, const QString &name = kListName)
{
    ListSeal seal;
    seal.list = name;
    seal.files = {{QStringLiteral("supports/klv137/help.zlb"), Sha256::hash("help"), 4},
                  {QStringLiteral("supports/u1011.zlb"), Sha256::hash("u1011"), 5}};
    seal.serial = serial;
    seal.expires = expires;
    return withSeal(kPlainList, seal);
}
} // namespace

// Hashing, the seal sections of a list and the decision to trust a list.
class TestSigning : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sha256_data();
    void sha256();
    void sha256KnownAnswer();
    void keyFiles();
    void readSeal_data();
    void readSeal();
    void withSealReplacesOnlyItsSections();
    void acceptList_data();
    void acceptList();
    void serialIsKept();
    void expectedFiles();
    void withoutKeysNothingIsRequired();
};

void TestSigning::sha256_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("piece");
    // Around the block size (64) and the point where the length no longer fits the last block (56).
    for (const int length : {0, 1, 55, 56, 63, 64, 65, 119, 120, 128, 1000, 65543})
        for (const int piece : {1, 7, 64, 100000})
            QTest::addRow("%d bytes in pieces of %d", length, piece) << length << piece;
}

void TestSigning::sha256()
{
    QFETCH(int, length);
    QFETCH(int, piece);
    QByteArray data(length, Qt::Uninitialized);
    QRandomGenerator random(uint32_t(length * 31 + piece));
    for (char &c : data)
        c = char(random.bounded(256));
    const QByteArray expected = QCryptographicHash::hash(data, QCryptographicHash::Sha256);
    for (const Sha256::Engine engine : {Sha256::Engine::Fastest, Sha256::Engine::Portable}) {
        Sha256 hasher(engine);
        for (int at = 0; at < length; at += piece)
            hasher.add(data.constData() + at, size_t(std::min(piece, length - at)));
        QCOMPARE(hasher.result().toHex(), expected.toHex());
        // It starts over after a result.
        hasher.add(data);
        QCOMPARE(hasher.result().toHex(), expected.toHex());
    }
    // On its own thread, with an allowance so small that the producer waits for nearly every block:
    // from the first byte, and after the first 1000 bytes were hashed on the caller's thread.
    for (const qsizetype inlineBytes : {0, 1000}) {
        BackgroundSha256 background(100, inlineBytes);
        for (int at = 0; at < length; at += piece)
            background.add(data.mid(at, piece));
        QCOMPARE(background.result().toHex(), expected.toHex());
    }
}

void TestSigning::sha256KnownAnswer()
{
    // The standard's own example, independent of any library.
    QCOMPARE(Sha256::hash("abc").toHex(),
             QByteArray("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
    if (!Sha256::hasShaExtensions())
        qInfo("this processor has no SHA extensions: only the portable code was checked");
}

void TestSigning::keyFiles()
{
    const KeyPair pair = generateKeyPair();
    QCOMPARE(publicKeyOf(pair.seed), pair.publicKey);
    QCOMPARE(readPublicKeyText(publicKeyFileText(pair.publicKey)), std::optional(pair.publicKey));
    QCOMPARE(readSecretKeyText(secretKeyFileText(pair.seed)), std::optional(pair.seed));
    // A secret key is never taken for a public one, nor anything damaged for a key.
    QVERIFY(!readPublicKeyText(secretKeyFileText(pair.seed)));
    QVERIFY(!readPublicKeyText("klv-ed25519-public " + pair.publicKey.toHex().chopped(2)));
    QVERIFY(!readPublicKeyText("klv-ed25519-public " + pair.publicKey.toHex().chopped(1) + 'g'));
    QVERIFY(!readPublicKeyText(""));
    const QByteArray message = "[SIGNED]\r\nserial=1\r\n";
    const QByteArray signature = sign(message, pair.seed);
    QVERIFY(verify(message, signature, pair.publicKey));
    QVERIFY(!verify(message + ' ', signature, pair.publicKey));
    QVERIFY(!verify(message, signature, publicOf("test-maker.pub")));
    QVERIFY(!verify(message, signature.chopped(1), pair.publicKey));
    QCOMPARE(publicKeyOf(seedOf("test-maker.key")), publicOf("test-maker.pub"));
}

void TestSigning::readSeal_data()
{
    QTest::addColumn<QByteArray>("sections");
    QTest::addColumn<QByteArray>("problem"); // empty: readable
    const QByteArray hex(64, 'a');
    const QByteArray good = "[SIGNED]\r\nserial=7\r\nexpires=2027-03-31\r\n";
    QTest::newRow("both sections") << "[SHA256]\r\nsupports/a.zlb=" + hex + " 12\n" + good << QByteArray();
    QTest::newRow("comments, blanks and LF")
        << "[sha256]\n; made by hand\n\n  supports/a.zlb = " + hex + " 12  \n[signed]\nexpires=2027-03-31\nserial=7\n"
        << QByteArray();
    QTest::newRow("no digests at all is readable") << "[SHA256]\r\n" + good << QByteArray();
    QTest::newRow("no [SIGNED]") << "[SHA256]\r\nsupports/a.zlb=" + hex + " 12\r\n" << QByteArray("[SIGNED] ontbreekt");
    QTest::newRow("no [SHA256]") << good << QByteArray("[SHA256] ontbreekt");
    QTest::newRow("[SIGNED] twice") << "[SHA256]\r\n" + good + good << QByteArray("meer dan eens");
    QTest::newRow("hex too short") << "[SHA256]\r\nsupports/a.zlb=" + hex.chopped(1) + " 12\r\n" + good
                                   << QByteArray("regel 6 in [SHA256]");
    QTest::newRow("not hex") << "[SHA256]\r\nsupports/a.zlb=" + hex.chopped(1) + "x 12\r\n" + good
                             << QByteArray("regel 6");
    QTest::newRow("no length") << "[SHA256]\r\nsupports/a.zlb=" + hex + "\r\n" + good << QByteArray("regel 6");
    QTest::newRow("negative length") << "[SHA256]\r\nsupports/a.zlb=" + hex + " -1\r\n" + good << QByteArray("regel 6");
    QTest::newRow("huge length") << "[SHA256]\r\nsupports/a.zlb=" + hex + " 99999999999999999999\r\n" + good
                                 << QByteArray("regel 6");
    QTest::newRow("absolute path") << "[SHA256]\r\n/supports/a.zlb=" + hex + " 1\r\n" + good << QByteArray("regel 6");
    QTest::newRow("backslash in path") << "[SHA256]\r\nsupports\\a.zlb=" + hex + " 1\r\n" + good
                                       << QByteArray("regel 6");
    QTest::newRow("no path") << "[SHA256]\r\n=" + hex + " 1\r\n" + good << QByteArray("regel 6");
    QTest::newRow("same path twice, other case")
        << "[SHA256]\r\nsupports/a.zlb=" + hex + " 1\r\nsupports/A.zlb=" + hex + " 2\r\n" + good
        << QByteArray("meer dan eens");
    QTest::newRow("serial not a number") << QByteArray("[SHA256]\r\n[SIGNED]\r\nserial=7a\r\nexpires=2027-03-31\r\n")
                                         << QByteArray("serial) is geen getal");
    QTest::newRow("no serial") << QByteArray("[SHA256]\r\n[SIGNED]\r\nexpires=2027-03-31\r\n")
                               << QByteArray("serial) ontbreekt");
    QTest::newRow("no such day") << QByteArray("[SHA256]\r\n[SIGNED]\r\nserial=1\r\nexpires=2027-02-30\r\n")
                                 << QByteArray("geen datum");
    QTest::newRow("date in another form")
        << QByteArray("[SHA256]\r\n[SIGNED]\r\nserial=1\r\nexpires=31-03-2027\r\n") << QByteArray("geen datum");
    QTest::newRow("no expiry") << QByteArray("[SHA256]\r\n[SIGNED]\r\nserial=1\r\n")
                               << QByteArray("expires) ontbreekt");
    QTest::newRow("unknown line in [SIGNED]") << "[SHA256]\r\n" + good + "by=someone\r\n"
                                              << QByteArray("regel 9 in [SIGNED]");
    QTest::newRow("list name") << "[SHA256]\r\n" + good + "list=whatsnewK.klv\r\n" << QByteArray();
    for (const char *name : {"list=supports/whatsnewK.klv", "list=..", "list=", "list=C:whatsnewK.klv"})
        QTest::addRow("%s", name) << "[SHA256]\r\n" + good + name + "\r\n" << QByteArray("(list)");
    QTest::newRow("two list names") << "[SHA256]\r\n" + good + "list=a.klv\r\nlist=b.klv\r\n"
                                    << QByteArray("regel 10 in [SIGNED]");
}

void TestSigning::readSeal()
{
    QFETCH(QByteArray, sections);
    QFETCH(QByteArray, problem);
    const SealReading reading = klv::signing::readSeal(kPlainList + sections);
    if (problem.isEmpty()) {
        QVERIFY2(reading.seal, qPrintable(reading.problem));
        QCOMPARE(reading.seal->serial, 7u);
        QCOMPARE(reading.seal->expires, QDate(2027, 3, 31));
        if (const FileDigest *a = reading.seal->find(QStringLiteral("SUPPORTS/a.zlb"))) {
            QCOMPARE(a->length, 12);
            QCOMPARE(a->sha256, QByteArray(32, char(0xaa)));
        }
    } else {
        QVERIFY(!reading.seal);
        QVERIFY2(reading.problem.contains(QString::fromUtf8(problem)), qPrintable(reading.problem));
    }
}

void TestSigning::withSealReplacesOnlyItsSections()
{
    // An old seal in the middle of the list, a last line without an end.
    const QByteArray list = "; list\r\n[KLV137]\r\nklv.exe=137\r\n[SIGNED]\r\nserial=1\r\n[sha256]\r\nx=y\r\n"
                            "[CMD137]\r\nquery$a.sql=";
    ListSeal seal;
    // A '%' in a path is text, not a place for an argument.
    seal.files = {{QStringLiteral("supports/klv137/klv%1.zlb"), QByteArray(32, 'k'), 351}};
    seal.serial = 12;
    seal.expires = QDate(2027, 1, 31);
    const QByteArray sealed = withSeal(list, seal);
    QVERIFY(sealed.startsWith("; list\r\n[KLV137]\r\nklv.exe=137\r\n[CMD137]\r\nquery$a.sql=\r\n[SHA256]\r\n"));
    QVERIFY(sealed.endsWith("[SIGNED]\r\nserial=12\r\nexpires=2027-01-31\r\n"));
    const SealReading reading = klv::signing::readSeal(sealed);
    QVERIFY2(reading.seal, qPrintable(reading.problem));
    QCOMPARE(reading.seal->files.size(), 1);
    QCOMPARE(reading.seal->files[0].path, QStringLiteral("supports/klv137/klv%1.zlb"));
    QCOMPARE(reading.seal->files[0].length, 351);
    // Sealing again gives the same bytes: nothing accumulates.
    QCOMPARE(withSeal(sealed, seal), sealed);
    // The list's name goes first in [SIGNED] and reads back.
    QVERIFY(reading.seal->list.isEmpty());
    seal.list = QStringLiteral("whatsnewK.klv");
    QVERIFY(withSeal(list, seal).endsWith("[SIGNED]\r\nlist=whatsnewK.klv\r\nserial=12\r\nexpires=2027-01-31\r\n"));
    QCOMPARE(klv::signing::readSeal(withSeal(list, seal)).seal->list, seal.list);
}

void TestSigning::acceptList_data()
{
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QByteArray>("signature"); // "-": could not be fetched
    QTest::addColumn<QString>("problem");      // empty: accepted
    const QDate today = QDate::currentDate();
    const QByteArray list = sealedList(5, today.addDays(30));
    const QByteArray seed = seedOf("test-maker.key");
    const QByteArray good = sign(list, seed);
    QTest::newRow("signed by the maker") << list << good << QString();
    QTest::newRow("by the maker's next key") << list << sign(list, seedOf("other-maker.key")) << QString();
    QTest::newRow("last valid day") << sealedList(5, today) << sign(sealedList(5, today), seed) << QString();
    QTest::newRow("equal serial") << sealedList(4, today.addDays(1)) << sign(sealedList(4, today.addDays(1)), seed)
                                  << QString();
    QByteArray changed = list;
    changed[changed.indexOf("t3") + 1] = '4';
    QTest::newRow("one byte changed") << changed << good << QStringLiteral("klopt niet");
    QTest::newRow("signature missing") << list << QByteArray("-")
                                       << QStringLiteral("ontbreekt (HTTP/1.1 404 Not Found)");
    QTest::newRow("signature cut") << list << good.chopped(1)
                                   << QStringLiteral("onvolledig (63 in plaats van 64 bytes)");
    QTest::newRow("signature too long") << list << good + '\n' << QStringLiteral("onvolledig (65");
    QTest::newRow("empty signature") << list << QByteArray() << QStringLiteral("onvolledig (0");
    QTest::newRow("another maker") << list << sign(list, generateKeyPair().seed) << QStringLiteral("klopt niet");
    QTest::newRow("signature of another list") << list << sign(kPlainList, seed) << QStringLiteral("klopt niet");
    const QByteArray expired = sealedList(5, today.addDays(-1));
    QTest::newRow("expired") << expired << sign(expired, seed)
                             << "verlopen op " + today.addDays(-1).toString(QStringLiteral("dd-MM-yyyy"));
    const QByteArray old = sealedList(3, today.addDays(30));
    QTest::newRow("older serial") << old << sign(old, seed)
                                  << QStringLiteral("volgnummer 3 is lager dan het eerder aanvaarde 4");
    QTest::newRow("signed but not sealed")
        << kPlainList << sign(kPlainList, seed) << QStringLiteral("[SIGNED] ontbreekt");
    // Each list is signed for its own name, which compares as Windows compares file names.
    const auto signedFor = [&](const QString &name) { return sealedList(5, today.addDays(30), name); };
    QTest::newRow("name in other case") << signedFor("WHATSNEWkey.KLV") << sign(signedFor("WHATSNEWkey.KLV"), seed)
                                        << QString();
    QTest::newRow("another customer's list")
        << signedFor("whatsnewOTHER.klv") << sign(signedFor("whatsnewOTHER.klv"), seed)
        << QStringLiteral("ondertekend onder een andere naam (de pakketlijst van een andere klant)");
    QTest::newRow("the general list") << signedFor("whatsnew.klv") << sign(signedFor("whatsnew.klv"), seed)
                                      << QStringLiteral("ondertekend als de algemene pakketlijst whatsnew.klv");
    QTest::newRow("signed without a name")
        << signedFor("") << sign(signedFor(""), seed) << QStringLiteral("de maker moet hem opnieuw ondertekenen");
    // How far ahead a signature may hold, with a week for a clock that runs behind.
    const QByteArray furthest = sealedList(5, today.addDays(49));
    QTest::newRow("valid 49 days ahead") << furthest << sign(furthest, seed) << QString();
    const QByteArray tooFar = sealedList(5, today.addDays(50));
    QTest::newRow("valid 50 days ahead") << tooFar << sign(tooFar, seed)
                                         << QStringLiteral("verder vooruit dan de 42 dagen");
}

void TestSigning::acceptList()
{
    QFETCH(QByteArray, list);
    QFETCH(QByteArray, signature);
    QFETCH(QString, problem);
    QTemporaryDir dir;
    const QString serialPath = dir.filePath(ListVerifier::serialFileName());
    testsupport::writeFile(serialPath, "serial=4\r\n");
    // Two keys: the current one and the next, as when the maker rolls over.
    ListVerifier verifier({publicOf("test-maker.pub"), publicOf("other-maker.pub")}, serialPath);
    QVERIFY(verifier.isStrict());
    const std::optional<QByteArray> fetched = signature == "-" ? std::nullopt : std::optional(signature);
    QString error;
    try {
        verifier.acceptList(kListName, list, fetched, QStringLiteral("HTTP/1.1 404 Not Found"), QDate::currentDate());
    } catch (const Exception &e) {
        error = e.message();
    }
    if (problem.isEmpty()) {
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QVERIFY(verifier.hasAcceptedList());
    } else {
        QVERIFY2(error.startsWith(QStringLiteral("De pakketlijst whatsnewKEY.klv is geweigerd: ")), qPrintable(error));
        QVERIFY2(error.contains(problem), qPrintable(error));
        QVERIFY(error.endsWith(QStringLiteral("Er is niets opgehaald of uitgevoerd.")));
        QVERIFY(!verifier.hasAcceptedList());
        QCOMPARE(testsupport::readFile(serialPath), QByteArray("serial=4\r\n"));
    }
}

void TestSigning::serialIsKept()
{
    QTemporaryDir dir;
    const QString serialPath = dir.filePath(ListVerifier::serialFileName());
    ListVerifier verifier({publicOf("test-maker.pub")}, serialPath);
    const QByteArray seed = seedOf("test-maker.key");
    const QDate today = QDate::currentDate();
    const auto accept = [&](uint64_t serial, bool keep = true) {
        const QByteArray list = sealedList(serial, today);
        verifier.acceptList(kListName, list, sign(list, seed), {}, today, keep);
    };
    QCOMPARE(verifier.keptSerial(), 0u);
    accept(8);
    QCOMPARE(testsupport::readFile(serialPath), QByteArray("serial=8\r\n"));
    accept(20, false); // a look that changes nothing
    QCOMPARE(verifier.keptSerial(), 8u);
    QVERIFY_THROWS_EXCEPTION(Exception, accept(7));
    accept(9);
    QCOMPARE(verifier.keptSerial(), 9u);
    // A damaged state file must not read as 0, which would let every old list in again.
    testsupport::writeFile(serialPath, "serial=\r\n");
    QVERIFY_THROWS_EXCEPTION(Exception, accept(9));
    testsupport::writeFile(serialPath, QByteArray(8, '\0'));
    QVERIFY_THROWS_EXCEPTION(Exception, accept(9));
}

void TestSigning::expectedFiles()
{
    ListVerifier verifier({publicOf("test-maker.pub")}, QString());
    // Before any list is accepted nothing may be fetched.
    QVERIFY_THROWS_EXCEPTION(Exception, verifier.expectedFile(QStringLiteral("supports/klv137/help.zlb")));
    const QByteArray list = sealedList(1, QDate::currentDate());
    verifier.acceptList(kListName, list, sign(list, seedOf("test-maker.key")), {}, QDate::currentDate());
    const auto help = verifier.expectedFile(QStringLiteral("supports/KLV137/help.zlb"));
    QVERIFY(help);
    QCOMPARE(help->length, 4);
    QCOMPARE(help->sha256, Sha256::hash("help"));
    try {
        verifier.expectedFile(QStringLiteral("public/autoupdate2.exe"));
        QFAIL("a file without a line was let through");
    } catch (const Exception &e) {
        QCOMPARE(e.message(), QStringLiteral("Het bestand public/autoupdate2.exe is geweigerd: de pakketlijst geeft er "
                                             "geen controlegetal voor. Het is niet uitgepakt of gestart."));
    }
    QCOMPARE(ListVerifier::mismatchMessage(QStringLiteral("supports/u1011.zlb"), *help, EContentMismatch(2, false)),
             QStringLiteral("Het bestand supports/u1011.zlb is geweigerd: het is 2 bytes lang, de pakketlijst zegt 4. "
                            "Het is niet uitgepakt of gestart."));
}

void TestSigning::withoutKeysNothingIsRequired()
{
    QTemporaryDir dir;
    ListVerifier verifier({}, dir.filePath(ListVerifier::serialFileName()));
    QVERIFY(!verifier.isStrict());
    verifier.acceptList(kListName, kPlainList, std::nullopt, {}, QDate::currentDate());
    QVERIFY(!verifier.expectedFile(QStringLiteral("supports/klv137/help.zlb")));
    QVERIFY(!QFile::exists(dir.filePath(ListVerifier::serialFileName())));
}

QTEST_GUILESS_MAIN(TestSigning)
#include "tst_signing.moc"
