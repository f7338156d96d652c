// The .zlb layout as the reader sees it, and archives made by the writer.

#include "archive/ZLBFormat.h"
#include "archive/ZLBWriter.h"
#include "archive/ZLIBArchive.h"
#include "platform/Exceptions.h"

#include "TestSupport.h"
#include "ZlbTestUtil.h"

#include <QBuffer>
#include <QTemporaryDir>
#include <QTest>
#include <cstring>

using namespace klv;
using namespace zlbtest;

class TestZlbFormat : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void crcCheckValue();
    void streamCrcLeavesOutTail_data();
    void streamCrcLeavesOutTail();
    void textFields_data();
    void textFields();
    void writerRefusesNames_data();
    void writerRefusesNames();
    void roundTrip_data();
    void roundTrip();
    void changedByte_data();
    void changedByte();
    void shortFile_data();
    void shortFile();
    void nonZeroFlags_data();
    void nonZeroFlags();
    void longNameWithFiller();

private:
    std::unique_ptr<QTemporaryDir> FDir;
    QString path(const QString &name) const { return FDir->filePath(name); }
    QByteArray baseArchive();
};

void TestZlbFormat::init()
{
    FDir = std::make_unique<QTemporaryDir>();
    QVERIFY(FDir->isValid());
}

// One stored entry "a.txt" behind a raw registry: every region of the format at a known place.
QByteArray TestZlbFormat::baseArchive()
{
    return makeArchive(path("base.zlb"), {{"a.txt", "content of a", "sub", true}});
}

void TestZlbFormat::crcCheckValue()
{
    QCOMPARE(zlb::crc32(QByteArrayView("123456789")), 0xCBF43926u);
    QCOMPARE(zlb::crc32(QByteArrayView()), 0u);
    // Continued in pieces as the extraction feeds it.
    const quint32 first = zlb::crc32(0, "1234", 4);
    QCOMPARE(zlb::crc32(first, "56789", 5), 0xCBF43926u);
}

void TestZlbFormat::streamCrcLeavesOutTail_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("skip");
    QTest::addColumn<quint32>("crc");
    QTest::newRow("trailer left out") << QByteArray("123456789abc") << 3 << 0xCBF43926u;
    QTest::newRow("nothing left out") << QByteArray("123456789") << 0 << 0xCBF43926u;
    QTest::newRow("all left out") << QByteArray("123") << 3 << 0u;
    QTest::newRow("more than all") << QByteArray("123") << 36 << 0u;
    // Larger than one read block.
    QByteArray big(300000, 'x');
    big += "tail";
    QTest::newRow("several blocks") << big << 4 << zlb::crc32(QByteArrayView(big).first(300000));
}

void TestZlbFormat::streamCrcLeavesOutTail()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, skip);
    QFETCH(quint32, crc);
    QBuffer buffer(&bytes);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    buffer.seek(2);
    TZLBArchive archive;
    QCOMPARE(archive.CalcStreamCRC(buffer, skip), crc);
    QCOMPARE(buffer.pos(), 2);
}

void TestZlbFormat::textFields_data()
{
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<QString>("text");
    QTest::newRow("filler ignored") << QByteArray("\x03"
                                                  "abcGARBAGE")
                                    << "abc";
    QTest::newRow("empty") << QByteArray("\x00"
                                         "xyz",
                                         4)
                           << "";
    QTest::newRow("windows-1252") << QByteArray("\x07"
                                                "be\xEBindi")
                                  << QString::fromUtf8("beëindi");
    QTest::newRow("euro sign") << QByteArray("\x01\x80") << QString::fromUtf8("€");
    QTest::newRow("255 characters") << (QByteArray(1, '\xFF') + QByteArray(255, 'n')) << QString(255, 'n');
}

void TestZlbFormat::textFields()
{
    QFETCH(QByteArray, field);
    QFETCH(QString, text);
    zlb::TZLBText raw;
    std::memset(&raw, '#', sizeof raw);
    std::memcpy(&raw, field.constData(), size_t(field.size()));
    QCOMPARE(zlb::decodeText(raw), text);
    zlb::TZLBText encoded;
    zlb::encodeText(encoded, text);
    QCOMPARE(zlb::decodeText(encoded), text);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(&encoded), text.size() + 1), field.first(text.size() + 1));
}

void TestZlbFormat::writerRefusesNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("folder");
    QTest::newRow("256 characters") << QString(256, 'a') << "";
    QTest::newRow("outside the code page") << QString::fromUtf8("中.txt") << "";
    QTest::newRow("parent folder") << "a.txt"
                                   << "..\\x";
    QTest::newRow("separator in name") << "a\\b"
                                       << "";
    QTest::newRow("absolute folder") << "a.txt"
                                     << "\\x";
}

void TestZlbFormat::writerRefusesNames()
{
    QFETCH(QString, name);
    QFETCH(QString, folder);
    ZLBWriter writer(path("w.zlb"));
    QVERIFY_THROWS_EXCEPTION(klv::Exception, writer.addData("x", name, folder));
}

void TestZlbFormat::roundTrip_data()
{
    QTest::addColumn<bool>("stored");
    QTest::addColumn<bool>("compressRegistry");
    QTest::addColumn<int>("level");
    QTest::newRow("stored, raw registry") << true << false << -1;
    QTest::newRow("stored, compressed registry") << true << true << 9;
    QTest::newRow("level 0") << false << false << 0;
    QTest::newRow("level 1, compressed registry") << false << true << 1;
    QTest::newRow("default level") << false << false << -1;
    QTest::newRow("level 9") << false << true << 9;
}

void TestZlbFormat::roundTrip()
{
    QFETCH(bool, stored);
    QFETCH(bool, compressRegistry);
    QFETCH(int, level);
    const QList<Item> items = {{"empty.dat", QByteArray(), "", stored},
                               {"step.bin", sample(4096, 1), "deep\\er", stored},
                               {"big.bin", sample(700001, 2), "deep", stored},
                               {QString::fromUtf8("Überzicht.txt"), "ü\r\n", "", stored}};
    const QByteArray bytes = makeArchive(path("rt.zlb"), items, compressRegistry, level);
    QCOMPARE(quint8(bytes[trailerAt(bytes) + 20]), quint8(compressRegistry ? 1 : 0));

    TZLBArchive archive;
    archive.setCheckCRC(true);
    archive.setExtractWithPath(true);
    QVERIFY(archive.OpenArchive(path("rt.zlb")));
    QCOMPARE(archive.GetFileCount(), items.size());
    for (int i = 0; i < items.size(); ++i) {
        TZLBFileEntry e;
        archive.GetFileEntry(i, e);
        QCOMPARE(zlb::decodeText(e.FileName), items[i].name);
        QCOMPARE(zlb::decodeText(e.FilePath), items[i].path);
        QCOMPARE(e.Size, items[i].content.size());
        QCOMPARE(quint32(e.CRC), zlb::crc32(items[i].content));
        QCOMPARE(e.Stored != 0, stored);
    }
    archive.ExtractArchive(path("out/"));
    for (const Item &item : items) {
        const QString file = path("out/" + QString(item.path).replace('\\', '/') + "/" + item.name);
        QCOMPARE(testsupport::readFile(file), item.content);
    }
}

void TestZlbFormat::changedByte_data()
{
    QTest::addColumn<int>("at"); // from the start when >= 0, from the end when < 0
    QTest::addColumn<bool>("corrupted");
    const qsizetype entry = 12; // the registry follows the 12 content bytes
    QTest::newRow("content") << 3 << true;
    QTest::newRow("name filler") << int(entry + 100) << true;
    QTest::newRow("path filler") << int(entry + 256 + 200) << true;
    QTest::newRow("entry bytes 516 to 519") << int(entry + 517) << true;
    QTest::newRow("entry bytes 529 to 531") << int(entry + 531) << true;
    QTest::newRow("archive CRC") << -36 << true;
    QTest::newRow("trailer byte 8") << -28 << false;
    QTest::newRow("trailer byte 15") << -21 << false;
    QTest::newRow("trailer byte 21") << -15 << false;
    QTest::newRow("trailer byte 35") << -1 << false;
}

void TestZlbFormat::changedByte()
{
    QFETCH(int, at);
    QFETCH(bool, corrupted);
    QByteArray bytes = baseArchive();
    QCOMPARE(entryAt(bytes, 0), 12);
    const qsizetype pos = at >= 0 ? at : bytes.size() + at;
    bytes[pos] = char(bytes[pos] ^ 0x5A);
    testsupport::writeFile(path("changed.zlb"), bytes);

    TZLBArchive archive;
    archive.setCheckCRC(true);
    if (corrupted) {
        QVERIFY_THROWS_EXCEPTION(klv::Exception, archive.OpenArchive(path("changed.zlb")));
        try {
            archive.OpenArchive(path("changed.zlb"));
        } catch (const klv::Exception &e) {
            QCOMPARE(e.message(), "The archive file appears to be corrupted");
        }
        QVERIFY(archive.archiveName().isEmpty());
        QCOMPARE(archive.trailer().FileCount, 0);
    } else {
        QVERIFY(archive.OpenArchive(path("changed.zlb")));
        archive.ExtractArchive(path("out/"));
        QCOMPARE(testsupport::readFile(path("out/a.txt")), "content of a");
    }
}

void TestZlbFormat::shortFile_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("empty file") << 0;
    QTest::newRow("one byte") << 1;
    QTest::newRow("35 bytes") << 35;
}

void TestZlbFormat::shortFile()
{
    QFETCH(int, size);
    testsupport::writeFile(path("short.zlb"), QByteArray(size, '\0'));
    TZLBArchive archive;
    try {
        archive.OpenArchive(path("short.zlb"));
        QFAIL("a file shorter than the trailer opened");
    } catch (const klv::Exception &e) {
        QCOMPARE(e.message(), "The archive file appears to be corrupted");
    }
}

void TestZlbFormat::nonZeroFlags_data()
{
    QTest::addColumn<bool>("compressRegistry");
    QTest::addColumn<int>("registryFlag");
    QTest::addColumn<int>("storedFlag");
    QTest::newRow("registry flag 2") << true << 2 << 1;
    QTest::newRow("registry flag 255") << true << 255 << 1;
    QTest::newRow("stored flag 2") << false << 0 << 2;
    QTest::newRow("stored flag 128") << false << 0 << 128;
}

void TestZlbFormat::nonZeroFlags()
{
    QFETCH(bool, compressRegistry);
    QFETCH(int, registryFlag);
    QFETCH(int, storedFlag);
    const QByteArray content = sample(9000, 7);
    QByteArray bytes = makeArchive(path("f.zlb"), {{"f.bin", content, "", true}}, compressRegistry);
    bytes[trailerAt(bytes) + 20] = char(registryFlag);
    if (!compressRegistry)
        bytes[entryAt(bytes, 0) + 528] = char(storedFlag);
    fixCrc(bytes);
    testsupport::writeFile(path("f.zlb"), bytes);

    TZLBArchive archive;
    archive.setCheckCRC(true);
    QVERIFY(archive.OpenArchive(path("f.zlb")));
    QCOMPARE(archive.GetFileCount(), 1);
    archive.ExtractArchive(path("out/"));
    QCOMPARE(testsupport::readFile(path("out/f.bin")), content);
}

void TestZlbFormat::longNameWithFiller()
{
    const QString name = QString(251, 'n') + ".txt";
    QByteArray bytes = makeArchive(path("l.zlb"), {{name, "long", "sub", false}});
    // Garbage after the three characters of the folder name.
    const qsizetype filler = entryAt(bytes, 0) + 256 + 4;
    for (qsizetype i = filler; i < entryAt(bytes, 0) + 512; ++i)
        bytes[i] = '\\';
    fixCrc(bytes);
    testsupport::writeFile(path("l.zlb"), bytes);

    TZLBArchive archive;
    archive.setExtractWithPath(true);
    archive.setCheckCRC(true);
    archive.OpenArchive(path("l.zlb"));
    TZLBFileEntry e;
    archive.GetFileEntry(0, e);
    QCOMPARE(e.FileName.Length, 255);
    archive.ExtractArchive(path("out/"));
    QCOMPARE(tree(path("out")), QStringList({"sub", "sub/" + name}));
}

QTEST_GUILESS_MAIN(TestZlbFormat)
#include "tst_zlbformat.moc"
