// Patches from an earlier file to a new one: what they make, and what they refuse.
#include "delta/FilePatch.h"
#include "packagelist/PatchSection.h"
#include "platform/Sha256.h"

#include <QBuffer>
#include <QRandomGenerator>
#include <QTest>

using namespace klv;
using namespace klv::delta;

namespace {

// Bytes like those of a program: repeated instruction-like runs with some randomness, so that
// zstd finds matches inside a file as in a real one, but a changed stretch is really new.
QByteArray programLike(qsizetype size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes;
    bytes.reserve(size);
    while (bytes.size() < size) {
        const quint32 word = random.generate();
        const int repeat = 1 + int(word % 4);
        for (int i = 0; i < repeat && bytes.size() < size; ++i)
            bytes.append(reinterpret_cast<const char *>(&word), qMin<qsizetype>(4, size - bytes.size()));
    }
    return bytes;
}

// Changes here and there: `spots` stretches of 64 bytes overwritten, and one stretch inserted.
QByteArray changed(QByteArray bytes, int spots, qsizetype inserted, quint32 seed)
{
    QRandomGenerator random(seed);
    for (int i = 0; i < spots && bytes.size() > 64; ++i) {
        const qsizetype at = random.bounded(qsizetype(bytes.size() - 64));
        bytes.replace(at, 64, programLike(64, random.generate()));
    }
    if (inserted > 0)
        bytes.insert(bytes.size() / 3, programLike(inserted, seed + 1));
    return bytes;
}

QByteArray make(const QByteArray &base, const QByteArray &target, const MakeOptions &options = {})
{
    QBuffer baseDevice, targetDevice, patch;
    baseDevice.setData(base);
    targetDevice.setData(target);
    baseDevice.open(QIODevice::ReadOnly);
    targetDevice.open(QIODevice::ReadOnly);
    patch.open(QIODevice::WriteOnly);
    makePatch(baseDevice, targetDevice, patch, options);
    return patch.data();
}

QByteArray apply(const QByteArray &base, const QByteArray &patch, qint64 expectedLength, Applied *applied = nullptr)
{
    QBuffer baseDevice, patchDevice, result;
    baseDevice.setData(base);
    patchDevice.setData(patch);
    baseDevice.open(QIODevice::ReadOnly);
    patchDevice.open(QIODevice::ReadOnly);
    result.open(QIODevice::WriteOnly);
    const Applied done = applyPatch(baseDevice, patchDevice, result, expectedLength);
    if (applied)
        *applied = done;
    return result.data();
}

// Offsets inside a patch's layout, for the rows that damage it.
constexpr qsizetype kBaseLengthAt = 12;
constexpr qsizetype kFirstSegmentAt = 32;
constexpr qsizetype kFirstFrameAt = kFirstSegmentAt + 20;

} // namespace

class TestFilePatch : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void makesTheNewFile_data();
    void makesTheNewFile();
    void refusesWhatDoesNotFit_data();
    void refusesWhatDoesNotFit();
    void patchLines_data();
    void patchLines();
};

void TestFilePatch::makesTheNewFile_data()
{
    QTest::addColumn<QByteArray>("base");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<int>("level");
    QTest::addColumn<double>("mostOfTarget"); // the patch's largest share of the new file

    const QByteArray program = programLike(3 * 1024 * 1024, 7);
    QTest::newRow("a few changed spots") << program << changed(program, 20, 0, 1) << 19 << 0.01;
    QTest::newRow("code inserted") << program << changed(program, 5, 40 * 1024, 2) << 19 << 0.05;
    QTest::newRow("same file") << program << program << 19 << 0.001;
    QTest::newRow("nothing in common") << programLike(100000, 3) << programLike(120000, 4) << 19 << 1.1;
    QTest::newRow("from an empty file") << QByteArray() << programLike(5000, 5) << 19 << 1.1;
    QTest::newRow("to an empty file") << program << QByteArray() << 19 << 1.0;
    // Larger than one segment and than the prefix a segment may use: the stretches of the base
    // around each segment still find its code, also after code was inserted near the start.
    const QByteArray large = programLike(kMaxPrefix + 6 * 1024 * 1024, 9);
    QTest::newRow("several segments") << large << changed(large, 50, 1024 * 1024, 6) << 3 << 0.05;
}

void TestFilePatch::makesTheNewFile()
{
    QFETCH(QByteArray, base);
    QFETCH(QByteArray, target);
    QFETCH(int, level);
    QFETCH(double, mostOfTarget);

    const QByteArray patch = make(base, target, {level, true});
    Applied applied;
    const QByteArray result = apply(base, patch, target.size(), &applied);
    QVERIFY(result == target);
    QCOMPARE(applied.length, target.size());
    QCOMPARE(applied.sha256, Sha256::hash(target));
    QVERIFY2(double(patch.size()) <= mostOfTarget * double(qMax<qsizetype>(target.size(), 1000)),
             qPrintable(QStringLiteral("patch of %1 bytes for %2").arg(patch.size()).arg(target.size())));
}

void TestFilePatch::refusesWhatDoesNotFit_data()
{
    QTest::addColumn<QByteArray>("base");
    QTest::addColumn<QByteArray>("patch");
    QTest::addColumn<qint64>("expectedLength");

    const QByteArray base = programLike(200000, 11);
    const QByteArray target = changed(base, 10, 5000, 12);
    const QByteArray patch = make(base, target);
    const auto with = [&](qsizetype at, char value) {
        QByteArray bytes = patch;
        bytes[at] = value;
        return bytes;
    };
    const qint64 length = target.size();
    QTest::newRow("a byte flipped in the frame")
        << base << with(patch.size() / 2, char(patch[patch.size() / 2] ^ 1)) << length;
    QTest::newRow("the last byte flipped (checksum)")
        << base << with(patch.size() - 1, char(patch.back() ^ 0x40)) << length;
    QTest::newRow("cut short") << base << patch.left(patch.size() - 10) << length;
    QTest::newRow("header only") << base << patch.left(kFirstSegmentAt) << length;
    QTest::newRow("a byte after the end") << base << patch + 'x' << length;
    QTest::newRow("not a patch") << base << QByteArray("PK\x03\x04 something else entirely, long enough") << length;
    QTest::newRow("empty") << base << QByteArray() << length;
    QTest::newRow("another result length") << base << patch << length + 1;
    QTest::newRow("another base, other length") << base.left(base.size() - 1) << patch << length;
    QByteArray sameLength = base;
    sameLength.replace(1000, 64, programLike(64, 99));
    QTest::newRow("another base, same length") << sameLength << patch << length;
    QTest::newRow("base length in the header changed")
        << base << with(kBaseLengthAt, char(patch[kBaseLengthAt] + 1)) << length;
    // The first segment's prefix length (bytes 40..43) beyond the base and beyond the limit.
    QTest::newRow("prefix beyond the base") << base << with(kFirstSegmentAt + 10, char(0x7f)) << length;
    QTest::newRow("frame length too large") << base << with(kFirstSegmentAt + 19, char(0x7f)) << length;
    QTest::newRow("frame length zero") << base
                                       << patch.left(kFirstSegmentAt + 16) + QByteArray(4, '\0') +
                                              patch.mid(kFirstFrameAt)
                                       << length;
    QTest::newRow("frame's content size changed")
        << base << with(kFirstFrameAt + 6, char(patch[kFirstFrameAt + 6] ^ 2)) << length;
}

void TestFilePatch::refusesWhatDoesNotFit()
{
    QFETCH(QByteArray, base);
    QFETCH(QByteArray, patch);
    QFETCH(qint64, expectedLength);
    QVERIFY_THROWS_EXCEPTION(EPatchError, apply(base, patch, expectedLength));
}

void TestFilePatch::patchLines_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("valid");

    const QString base = QString(64, u'a');
    const QString result = QString(64, u'B');
    const QString name = QStringLiteral("klv.exe.aaaaaaaaaaaaaaaa.klvpatch");
    QTest::newRow("as written") << name << QStringLiteral("klv.exe;%1;%2;12345;678").arg(base, result) << true;
    QTest::newRow("no such extension") << QStringLiteral("klv.exe")
                                       << QStringLiteral("klv.exe;%1;%2;1;1").arg(base, result) << false;
    QTest::newRow("a folder in the name")
        << QStringLiteral("..\\klv.klvpatch") << QStringLiteral("klv.exe;%1;%2;1;1").arg(base, result) << false;
    QTest::newRow("a folder in the file") << name << QStringLiteral("sub\\klv.exe;%1;%2;1;1").arg(base, result) << false;
    QTest::newRow("short digest") << name << QStringLiteral("klv.exe;%1;%2;1;1").arg(base.left(62), result) << false;
    QTest::newRow("digest not hex") << name << QStringLiteral("klv.exe;%1;%2;1;1").arg(QString(64, u'g'), result)
                                    << false;
    QTest::newRow("negative length") << name << QStringLiteral("klv.exe;%1;%2;1;-1").arg(base, result) << false;
    QTest::newRow("length with a sign") << name << QStringLiteral("klv.exe;%1;%2;+1;1").arg(base, result) << false;
    QTest::newRow("a field more") << name << QStringLiteral("klv.exe;%1;%2;1;1;x").arg(base, result) << false;
    QTest::newRow("no patch length") << name << QStringLiteral("klv.exe;%1;%2;1").arg(base, result) << false;
}

void TestFilePatch::patchLines()
{
    QFETCH(QString, name);
    QFETCH(QString, value);
    QFETCH(bool, valid);
    const auto line = packagelist::parsePatchLine(name, value);
    QCOMPARE(line.has_value(), valid);
    if (valid)
        QCOMPARE(packagelist::patchValue(*line), value.toLower());
}

QTEST_GUILESS_MAIN(TestFilePatch)
#include "tst_filepatch.moc"
