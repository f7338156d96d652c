// The zlb packaging tool: a folder tree packed, tested and extracted comes back byte for byte.

#include "archive/ZLBFormat.h"

#include "TestSupport.h"

#include <QDirIterator>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

class TestZlbTool : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void roundTrip_data();
    void roundTrip();
    void flatExtraction();
    void damagedEntryFails();
    void usageAndErrors_data();
    void usageAndErrors();

private:
    std::unique_ptr<QTemporaryDir> FDir;
    QString path(const QString &name) const { return FDir->filePath(name); }
    void makeTree();
    int zlb(const QStringList &args, QByteArray *output = nullptr);
};

namespace {

QMap<QString, QByteArray> contents(const QString &root)
{
    QMap<QString, QByteArray> out;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        out.insert(QDir(root).relativeFilePath(file), testsupport::readFile(file));
    }
    return out;
}

} // namespace

void TestZlbTool::init()
{
    FDir = std::make_unique<QTemporaryDir>();
    QVERIFY(FDir->isValid());
}

void TestZlbTool::makeTree()
{
    QRandomGenerator random(42);
    QByteArray noise(300000, Qt::Uninitialized);
    for (char &c : noise)
        c = char(random.bounded(256));
    testsupport::writeFile(path("src/KLV.EXE"), noise);
    testsupport::writeFile(path("src/empty.txt"), QByteArray());
    testsupport::writeFile(path("src/sql/u136.sql"), QByteArray("update x;\r\n").repeated(5000));
    testsupport::writeFile(path("src/sql/deep/er/.hidden"), "h");
    testsupport::writeFile(path("src/") + QString::fromUtf8("caf\u00e9.txt"), "accent");
}

int TestZlbTool::zlb(const QStringList &args, QByteArray *output)
{
    return testsupport::run(ZLB_EXE, args, output);
}

void TestZlbTool::roundTrip_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::newRow("defaults") << QStringList{"--paths"};
    QTest::newRow("stored") << QStringList{"--paths", "--stored"};
    QTest::newRow("compressed registry, level 9") << QStringList{"--paths", "--compress-registry", "--level", "9"};
    QTest::newRow("level 0") << QStringList{"--level", "0", "--paths"};
}

void TestZlbTool::roundTrip()
{
    QFETCH(QStringList, options);
    makeTree();
    QByteArray output;
    QCOMPARE(zlb(QStringList{"pack"} + options + QStringList{path("a.zlb"), path("src")}, &output), 0);
    QCOMPARE(zlb({"test", path("a.zlb")}, &output), 0);
    QVERIFY2(output.contains("5 files OK"), output.constData());
    QCOMPARE(zlb({"list", path("a.zlb")}, &output), 0);
    QVERIFY2(output.contains("sql\\deep\\er\\.hidden"), output.constData());
    QCOMPARE(zlb({"extract", path("a.zlb"), path("out")}, &output), 0);
    const auto expected = contents(path("src"));
    QCOMPARE(expected.size(), 5);
    QCOMPARE(contents(path("out")), expected);
}

void TestZlbTool::flatExtraction()
{
    makeTree();
    QCOMPARE(zlb({"pack", "--paths", path("a.zlb"), path("src")}), 0);
    QByteArray output;
    QCOMPARE(zlb({"extract", "--flat", "--verbose", path("a.zlb"), path("out")}, &output), 0);
    QCOMPARE(contents(path("out")).keys(),
             QStringList({".hidden", "KLV.EXE", QString::fromUtf8("caf\u00e9.txt"), "empty.txt", "u136.sql"}));
    QVERIFY(output.contains("u136.sql"));
    // Without --paths two files of one name would meet in the destination.
    testsupport::writeFile(path("src/sql/klv.exe"), "clash");
    QCOMPARE(zlb({"pack", path("b.zlb"), path("src")}, &output), 1);
    QVERIFY2(output.contains("same name"), output.constData());
    QVERIFY(!QFileInfo::exists(path("b.zlb")));
}

void TestZlbTool::damagedEntryFails()
{
    makeTree();
    QCOMPARE(zlb({"pack", "--paths", "--stored", path("a.zlb"), path("src")}), 0);
    QByteArray bytes = testsupport::readFile(path("a.zlb"));
    // Change a content byte of the first entry and make the archive CRC agree again, so that only
    // the entry's own CRC tells.
    const qsizetype trailer = bytes.size() - klv::zlb::kTrailerSize;
    const qint32 registry = qFromLittleEndian<qint32>(bytes.constData() + trailer + 16);
    const qint32 offset = qFromLittleEndian<qint32>(bytes.constData() + registry + 520);
    bytes[offset + 10] = char(bytes[offset + 10] ^ 0x40);
    qToLittleEndian<quint32>(klv::zlb::crc32(QByteArrayView(bytes).first(trailer)), bytes.data() + trailer);
    testsupport::writeFile(path("a.zlb"), bytes);

    QByteArray output;
    QCOMPARE(zlb({"test", path("a.zlb")}, &output), 1);
    QVERIFY2(output.contains("File (0) is corrupt"), output.constData());
    QCOMPARE(zlb({"extract", path("a.zlb"), path("out")}, &output), 1);
    QVERIFY2(output.contains("File (0) is corrupt"), output.constData());
}

void TestZlbTool::usageAndErrors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("text");
    QTest::newRow("help") << QStringList{"--help"} << 0 << "zlb pack";
    QTest::newRow("nothing") << QStringList{} << 2 << "no command";
    QTest::newRow("unknown command") << QStringList{"unzip"} << 2 << "unknown command";
    QTest::newRow("bad level") << QStringList{"pack", "--level", "12", "x.zlb", "src"} << 2 << "--level";
    QTest::newRow("pack without files") << QStringList{"pack", "x.zlb"} << 2 << "at least one";
    QTest::newRow("missing source") << QStringList{"pack", "x.zlb", "nowhere"} << 1 << "No such file";
    QTest::newRow("missing archive") << QStringList{"test", "none.zlb"} << 1 << "Archive file not found";
    QTest::newRow("not an archive") << QStringList{"list", "junk.zlb"} << 1 << "appears to be corrupted";
    QTest::newRow("extract without dest") << QStringList{"extract", "junk.zlb"} << 2 << "destination";
}

void TestZlbTool::usageAndErrors()
{
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QString, text);
    testsupport::writeFile(path("junk.zlb"), QByteArray(100, 'j'));
    for (QString &arg : args) {
        if (arg.endsWith(".zlb") || arg == "nowhere")
            arg = path(arg);
    }
    QByteArray output;
    QCOMPARE(zlb(args, &output), status);
    QVERIFY2(output.contains(text.toUtf8()), output.constData());
}

QTEST_GUILESS_MAIN(TestZlbTool)
#include "tst_zlbtool.moc"
