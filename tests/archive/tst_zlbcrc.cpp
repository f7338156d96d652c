// The two-thread CRC helpers: whatever share of the blocks each thread sums, the result is the
// plain CRC-32 of the bytes.

#include "archive/ZLBCrcWorker.h"
#include "archive/ZLBFormat.h"
#include "archive/ZLBRangeCrc.h"
#include "platform/Exceptions.h"

#include "TestSupport.h"
#include "ZlbTestUtil.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <thread>

using namespace klv;
using namespace zlbtest;

namespace {
constexpr qsizetype kBlock = 4096;
using Lengths = QList<int>;
using Ranges = QList<zlb::RangeCrc::Range>;
} // namespace

class TestZlbCrc : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void blockWorker_data();
    void blockWorker();
    void blockWorkerSlowCaller();
    void rangeCrc_data();
    void rangeCrc();
    void rangeCrcSkipsAndStopsEarly();
    void rangePastEnd();
    void fileCrc_data();
    void fileCrc();

private:
    QString path(const QString &name) const { return FDir->filePath(name); }
    std::unique_ptr<QTemporaryDir> FDir;
};

void TestZlbCrc::init()
{
    FDir = std::make_unique<QTemporaryDir>();
    QVERIFY(FDir->isValid());
}

void TestZlbCrc::blockWorker_data()
{
    QTest::addColumn<Lengths>("lengths");
    QTest::newRow("nothing") << Lengths{};
    QTest::newRow("one empty block") << Lengths{0};
    QTest::newRow("one byte") << Lengths{1};
    QTest::newRow("one full block") << Lengths{int(kBlock)};
    QTest::newRow("more blocks than buffers") << Lengths(11, int(kBlock));
    QTest::newRow("short last block") << (Lengths(9, int(kBlock)) << 17);
    QTest::newRow("short blocks between full ones") << Lengths{int(kBlock), 5, int(kBlock), 0, int(kBlock), 4095, 1};
    Lengths random;
    QRandomGenerator generator(7);
    for (int i = 0; i < 3000; ++i)
        random << (generator.bounded(4) == 0 ? generator.bounded(int(kBlock)) : int(kBlock));
    QTest::newRow("3000 blocks of mixed lengths") << random;
}

void TestZlbCrc::blockWorker()
{
    QFETCH(Lengths, lengths);
    const QByteArray data = sample(std::accumulate(lengths.begin(), lengths.end(), 0), 11);
    zlb::CrcWorker worker(kBlock);
    // Twice over, so that the second sum starts clean after take().
    for (int round = 0; round < 2; ++round) {
        qsizetype at = 0;
        for (const int length : lengths) {
            char *buffer = worker.nextBuffer();
            std::memcpy(buffer, data.constData() + at, size_t(length));
            worker.add(length);
            at += length;
        }
        QCOMPARE(worker.take(), zlb::crc32(data));
    }
}

// A caller that dawdles leaves every block to the worker; the sum must not change.
void TestZlbCrc::blockWorkerSlowCaller()
{
    const QByteArray data = sample(20 * kBlock + 3, 5);
    zlb::CrcWorker worker(kBlock);
    for (qsizetype at = 0; at < data.size(); at += kBlock) {
        const qsizetype length = std::min(kBlock, data.size() - at);
        std::memcpy(worker.nextBuffer(), data.constData() + at, size_t(length));
        worker.add(length);
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    QCOMPARE(worker.take(), zlb::crc32(data));
}

void TestZlbCrc::rangeCrc_data()
{
    QTest::addColumn<Ranges>("ranges");
    QTest::newRow("empty range") << Ranges{{10, 0}};
    QTest::newRow("one byte at the end") << Ranges{{100 * kBlock - 1, 1}};
    QTest::newRow("one block less a byte") << Ranges{{3, kBlock - 1}};
    QTest::newRow("one block") << Ranges{{0, kBlock}};
    QTest::newRow("one block and a byte") << Ranges{{kBlock + 7, kBlock + 1}};
    QTest::newRow("the whole file") << Ranges{{0, 100 * kBlock}};
    QTest::newRow("ranges in a row") << Ranges{
        {0, 30 * kBlock + 5}, {30 * kBlock + 5, 2}, {30 * kBlock + 7, 40 * kBlock}, {5, 50 * kBlock}};
}

void TestZlbCrc::rangeCrc()
{
    QFETCH(Ranges, ranges);
    const QByteArray data = sample(100 * kBlock, 13);
    testsupport::writeFile(path("a.bin"), data);
    zlb::RangeCrc crc(path("a.bin"), kBlock, ranges);
    for (qsizetype i = 0; i < ranges.size(); ++i)
        QCOMPARE(crc.finish(i), zlb::crc32(QByteArrayView(data).sliced(ranges[i].offset, ranges[i].length)));
}

// Ranges whose result nobody asks for are summed for nothing but do not hold up the later ones,
// and a helper dropped in the middle of its work stops without waiting for the rest.
void TestZlbCrc::rangeCrcSkipsAndStopsEarly()
{
    const QByteArray data = sample(400 * kBlock, 17);
    testsupport::writeFile(path("a.bin"), data);
    const Ranges ranges{{0, 200 * kBlock}, {200 * kBlock, 100 * kBlock}, {300 * kBlock, 100 * kBlock}};
    {
        zlb::RangeCrc crc(path("a.bin"), kBlock, ranges);
        QCOMPARE(crc.finish(2), zlb::crc32(QByteArrayView(data).sliced(300 * kBlock)));
    }
    zlb::RangeCrc dropped(path("a.bin"), kBlock, ranges);
}

void TestZlbCrc::rangePastEnd()
{
    const QByteArray data = sample(10 * kBlock, 19);
    testsupport::writeFile(path("a.bin"), data);
    zlb::RangeCrc crc(path("a.bin"), kBlock, {{kBlock, 10 * kBlock}, {0, 3 * kBlock}});
    QVERIFY_THROWS_EXCEPTION(Exception, crc.finish(0));
    QCOMPARE(crc.finish(1), zlb::crc32(QByteArrayView(data).first(3 * kBlock)));
    QVERIFY_THROWS_EXCEPTION(Exception, zlb::RangeCrc(path("missing.bin"), kBlock, {}));
}

void TestZlbCrc::fileCrc_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QIODevice::OpenMode>("mode");
    QTest::addColumn<bool>("unwritten");
    const auto read = QIODevice::OpenMode(QIODevice::ReadOnly);
    const auto readWrite = QIODevice::OpenMode(QIODevice::ReadWrite);
    QTest::newRow("small file") << 1000 << read << false;
    QTest::newRow("large file, read only") << 3000001 << read << false;
    QTest::newRow("large file, just written through the same handle") << 3000001 << readWrite << true;
}

void TestZlbCrc::fileCrc()
{
    QFETCH(int, size);
    QFETCH(QIODevice::OpenMode, mode);
    QFETCH(bool, unwritten);
    QByteArray data = sample(size, 23);
    testsupport::writeFile(path("f.bin"), data);
    QFile file(path("f.bin"));
    QVERIFY(file.open(mode));
    if (unwritten) {
        QVERIFY(file.seek(1));
        QVERIFY(file.write("XY") == 2);
        data.replace(1, 2, "XY");
    }
    QVERIFY(file.seek(5));
    QCOMPARE(zlb::deviceCrc(file, 36), zlb::crc32(QByteArrayView(data).first(size - 36)));
    QCOMPARE(file.pos(), 5);
}

QTEST_GUILESS_MAIN(TestZlbCrc)
#include "tst_zlbcrc.moc"
