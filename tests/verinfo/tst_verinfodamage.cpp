#include "verinfo/VerInfoRes.h"

#include "PeFixtures.h"
#include "TestSupport.h"

#include <QMap>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>
#include <functional>

using namespace pefixtures;

namespace {

struct Outcome
{
    QString error; // class name; empty on success
    QStringList values;
    QStringList flags;
};

Outcome readFile(const QString &path)
{
    Outcome out;
    try {
        const TVerInfoRes res(nullptr, path);
        for (int key = viCompanyName; key <= viIntegerVersion; ++key)
            out.values << res.GetVersionValue(TVerInfoKey(key));
        out.flags = res.FileFlags();
    } catch (const klv::Exception &e) {
        out.error = e.className();
    }
    return out;
}

bool isOwnError(const QString &className)
{
    return className == "ENoVerInfoError" || className == "EVerInfoError" || className == "eNoFixeVerInfo";
}

void putU32(QByteArray &bytes, qsizetype at, quint32 value)
{
    qToLittleEndian<quint32>(value, bytes.data() + at);
}

quint32 getU32(const QByteArray &bytes, qsizetype at)
{
    return qFromLittleEndian<quint32>(bytes.constData() + at);
}

// Where the parts of a fixture lie, found with objdump and by searching for keys.
struct Layout
{
    qsizetype resources = 0; // file offset of the resource section (its root directory)
    qsizetype resourcesSize = 0;
    qsizetype tree = 0;    // the version tree's root node
    qsizetype treeEnd = 0; // just past the version tree
    qsizetype dataEntry = -1;
    qsizetype peHeader = 0;
};

using Patch = std::function<void(QByteArray &, const Layout &)>;

} // namespace

Q_DECLARE_METATYPE(Patch)

class TestVerInfoDamage : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void truncated_data();
    void truncated();
    void corrupted_data();
    void corrupted();
    void hostile_data();
    void hostile();

private:
    QTemporaryDir FDir;
    QMap<QString, QByteArray> FImage;
    QMap<QString, Outcome> FIntact;
    QMap<QString, Layout> FLayout;
};

void TestVerInfoDamage::initTestCase()
{
    QVERIFY(FDir.isValid());
    for (const QString &arch : architectures()) {
        const QString path = FDir.filePath(arch + ".exe");
        const QString error = build(arch, fullRecipe(), path);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        const QByteArray image = testsupport::readFile(path);
        Layout layout;
        SectionInfo rsrc;
        QVERIFY(sectionInfo(arch, path, ".rsrc", rsrc));
        layout.resources = rsrc.fileOffset;
        layout.resourcesSize = rsrc.size;
        layout.tree = versionTreeOffset(image);
        QVERIFY(layout.tree > layout.resources);
        layout.treeEnd = layout.tree + readU16(image, layout.tree);
        layout.peHeader = getU32(image, 0x3C);
        // The data entry: the tree's offset within its page, then its size.
        for (qsizetype at = layout.resources; at + 8 <= layout.tree; at += 4) {
            if ((getU32(image, at) & 0xFFF) == quint32((layout.tree - layout.resources) & 0xFFF) &&
                getU32(image, at + 4) == quint32(layout.treeEnd - layout.tree))
                layout.dataEntry = at;
        }
        QVERIFY(layout.dataEntry > 0);
        FImage[arch] = image;
        FLayout[arch] = layout;
        FIntact[arch] = readFile(path);
        QVERIFY(FIntact[arch].error.isEmpty());
        QCOMPARE(FIntact[arch].values[viFileVersion], "136.46.0.12");
    }
}

void TestVerInfoDamage::truncated_data()
{
    QTest::addColumn<QString>("arch");
    for (const QString &arch : architectures())
        QTest::newRow(qPrintable(arch)) << arch;
}

// A copy cut short fails with "no version info" while the cut lies before the end of the
// version tree, and reads exactly as the whole file from there on.
void TestVerInfoDamage::truncated()
{
    QFETCH(QString, arch);
    const QByteArray image = FImage[arch];
    const Layout layout = FLayout[arch];
    const QString path = FDir.filePath("cut-" + arch + ".exe");
    int cuts = 0;
    for (qsizetype cut = 0; cut < image.size(); cut += cut < layout.resources - 64 ? 7 : 1) {
        testsupport::writeFile(path, image.first(cut));
        const Outcome outcome = readFile(path);
        const QByteArray where = QByteArray("cut at ") + QByteArray::number(cut);
        if (cut < layout.treeEnd) {
            QVERIFY2(outcome.error == "ENoVerInfoError", where + " gave " + outcome.error.toLatin1());
        } else {
            QVERIFY2(outcome.error.isEmpty(), where + " gave " + outcome.error.toLatin1());
            QCOMPARE(outcome.values, FIntact[arch].values);
            QCOMPARE(outcome.flags, FIntact[arch].flags);
        }
        ++cuts;
    }
    QVERIFY(cuts > 500);
}

void TestVerInfoDamage::corrupted_data()
{
    QTest::addColumn<QString>("arch");
    QTest::addColumn<int>("pattern");
    for (const QString &arch : architectures()) {
        for (int pattern : {0, 1, 2, 3})
            QTest::addRow("%s pattern %d", qPrintable(arch), pattern) << arch << pattern;
    }
}

// Every byte of the resource directory and the version tree damaged in turn: the reader
// raises one of its own exceptions or succeeds, and damage to fixed file information fields
// that it does not read changes nothing.
void TestVerInfoDamage::corrupted()
{
    QFETCH(QString, arch);
    QFETCH(int, pattern);
    const QByteArray image = FImage[arch];
    const Layout layout = FLayout[arch];
    const QString path = FDir.filePath("bad-" + arch + ".exe");
    const qsizetype fixed = layout.tree + 40; // after the header and "VS_VERSION_INFO"
    auto unread = [&](qsizetype at) {
        return (at >= fixed + 8 && at < fixed + 24) || (at >= fixed + 32 && at < fixed + 52);
    };
    QMap<QString, int> outcomes;
    for (qsizetype at = layout.resources; at < layout.treeEnd; ++at) {
        QByteArray copy = image;
        const auto byte = quint8(copy[at]);
        const quint8 damaged = pattern == 0   ? quint8(byte ^ 0xFF)
                               : pattern == 1 ? quint8(byte ^ 0x01)
                               : pattern == 2 ? quint8(0)
                                              : quint8(byte + 0x80);
        if (damaged == byte)
            continue;
        copy[at] = char(damaged);
        testsupport::writeFile(path, copy);
        const Outcome outcome = readFile(path);
        const QByteArray where = "byte " + QByteArray::number(at) + " gave " + outcome.error.toLatin1();
        QVERIFY2(outcome.error.isEmpty() || isOwnError(outcome.error), where);
        if (unread(at)) {
            QVERIFY2(outcome.error.isEmpty(), where);
            QCOMPARE(outcome.values, FIntact[arch].values);
            QCOMPARE(outcome.flags, FIntact[arch].flags);
        }
        ++outcomes[outcome.error.isEmpty() ? "read" : outcome.error];
    }
    // The damage reaches every kind of outcome, so the loop did test something.
    QVERIFY(outcomes.value("read") > 0);
    QVERIFY(outcomes.value("ENoVerInfoError") > 0);
    QVERIFY(outcomes.value("EVerInfoError") > 0);
}

void TestVerInfoDamage::hostile_data()
{
    QTest::addColumn<Patch>("patch");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("fileVersion");
    auto node = [](const QByteArray &image, const Layout &l, const char *key) {
        return nodeOffset(image, QString::fromLatin1(key), l.tree);
    };
    const QString none = "ENoVerInfoError";
    const QString lang = "EVerInfoError";
    const QString whole = "136.46.0.12";
    // Two damaged nodes the Win32 functions judge otherwise than the portable reader, staying
    // inside the block: a key without its zero is read to the node's end, and a value longer
    // than its node gives no text.
#ifdef _WIN32
    const bool win32 = true;
#else
    const bool win32 = false;
#endif

    QTest::newRow("root longer than the resource")
        << Patch([](QByteArray &b, const Layout &l) { writeU16(b, l.tree, 0xFFFF); }) << none << QString();
    QTest::newRow("root shorter than a header")
        << Patch([](QByteArray &b, const Layout &l) { writeU16(b, l.tree, 4); }) << none << QString();
    QTest::newRow("fixed info runs to the end of the root")
        << Patch([](QByteArray &b, const Layout &l) { writeU16(b, l.tree + 2, 0xFFFF); }) << lang << QString();
    QTest::newRow("string block of length zero")
        << Patch([=](QByteArray &b, const Layout &l) { writeU16(b, node(b, l, "StringFileInfo"), 0); }) << lang
        << QString();
    QTest::newRow("string block longer than the tree")
        << Patch([=](QByteArray &b, const Layout &l) { writeU16(b, node(b, l, "StringFileInfo"), 0xFFF0); }) << lang
        << QString();
    QTest::newRow("key without its zero")
        << Patch([=](QByteArray &b, const Layout &l) { writeU16(b, node(b, l, "Translation"), 6 + 22); })
        << (win32 ? QString() : lang) << (win32 ? whole : QString());
    QTest::newRow("value longer than its node")
        << Patch([=](QByteArray &b, const Layout &l) { writeU16(b, node(b, l, "FileVersion") + 2, 0x7FFF); })
        << QString() << (win32 ? QString() : whole);
    QTest::newRow("value without its zero")
        << Patch([=](QByteArray &b, const Layout &l) { writeU16(b, node(b, l, "FileVersion") + 2, 11); }) << QString()
        << whole;
    QTest::newRow("value length cuts the text")
        << Patch([=](QByteArray &b, const Layout &l) { writeU16(b, node(b, l, "FileVersion") + 2, 6); }) << QString()
        << "136.46";
    QTest::newRow("directory points back at itself")
        << Patch([](QByteArray &b, const Layout &l) { putU32(b, l.resources + 20, 0x80000000u); }) << none << QString();
    QTest::newRow("entry count past the section") << Patch([](QByteArray &b, const Layout &l) {
        putU32(b, l.resources + 16, 17); // no longer RT_VERSION, so every entry is read
        writeU16(b, l.resources + 12, 0xFFFF);
    }) << none << QString();
    QTest::newRow("data entry outside the image")
        << Patch([](QByteArray &b, const Layout &l) { putU32(b, l.dataEntry, 0xFFFFFF00u); }) << none << QString();
    QTest::newRow("data entry in the headers")
        << Patch([](QByteArray &b, const Layout &l) { putU32(b, l.dataEntry, 0); }) << none << QString();
    QTest::newRow("data size past the section")
        << Patch([](QByteArray &b, const Layout &l) { putU32(b, l.dataEntry + 4, 0xFFFFFFF0u); }) << none << QString();
    QTest::newRow("section count past the file")
        << Patch([](QByteArray &b, const Layout &l) { writeU16(b, l.peHeader + 6, 0xFFFF); }) << none << QString();
    QTest::newRow("PE header past the file")
        << Patch([](QByteArray &b, const Layout &) { putU32(b, 0x3C, 0x7FFFFFF0u); }) << none << QString();
    QTest::newRow("unknown optional header")
        << Patch([](QByteArray &b, const Layout &l) { writeU16(b, l.peHeader + 24, 0x107); }) << none << QString();
}

void TestVerInfoDamage::hostile()
{
    QFETCH(Patch, patch);
    QFETCH(QString, error);
    QFETCH(QString, fileVersion);
    for (const QString &arch : architectures()) {
        QByteArray copy = FImage[arch];
        QCOMPARE(getU32(copy, FLayout[arch].resources + 16), 16u); // the only type: RT_VERSION
        patch(copy, FLayout[arch]);
        const QString path = FDir.filePath("hostile-" + arch + ".exe");
        testsupport::writeFile(path, copy);
        const Outcome outcome = readFile(path);
        QCOMPARE(outcome.error, error);
        if (error.isEmpty())
            QCOMPARE(outcome.values[viFileVersion], fileVersion);
    }
}

QTEST_GUILESS_MAIN(TestVerInfoDamage)
#include "tst_verinfodamage.moc"
