// The reader component: events, extraction rules, failures and hostile names.

#include "archive/ZLIBArchive.h"
#include "platform/Exceptions.h"

#include "TestSupport.h"
#include "ZlbTestUtil.h"

#include <QDir>
#include <QFileInfo>
#include <QMetaProperty>
#include <QPointer>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <limits>

using namespace klv;
using namespace zlbtest;

namespace {

// Runs `action` and returns the message of the klv::Exception it raises ("" when none).
QString messageOf(const std::function<void()> &action)
{
    try {
        action();
    } catch (const klv::Exception &e) {
        return e.message();
    }
    return {};
}

} // namespace

class TestZlbArchive : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void defaultsAndOwner();
    void openEmptyNameCloses();
    void fileCountNotPositive_data();
    void fileCountNotPositive();
    void registryProgress();
    void extractProgress();
    void destinationFolding_data();
    void destinationFolding();
    void replaceQuestion_data();
    void replaceQuestion();
    void sameNameTwiceAsks();
    void replaceHandlerErrorPropagates();
    void caseOfExistingTarget();
    void failingEntry_data();
    void failingEntry();
    void largeEntries_data();
    void largeEntries();
    void largeStoredEntriesBesideSkipped_data();
    void largeStoredEntriesBesideSkipped();
    void failureMessages_data();
    void failureMessages();
    void hostileNames_data();
    void hostileNames();
    void tempFile();
    void fileList_data();
    void fileList();

private:
    std::unique_ptr<QTemporaryDir> FDir;
    QString path(const QString &name) const { return FDir->filePath(name); }
};

void TestZlbArchive::init()
{
    FDir = std::make_unique<QTemporaryDir>();
    QVERIFY(FDir->isValid());
}

void TestZlbArchive::defaultsAndOwner()
{
    makeArchive(path("a.zlb"), {{"a.txt", "a"}});
    Recorder recorder;
    QPointer<TZLBArchive> watch;
    {
        QObject owner;
        auto *archive = new TZLBArchive(&owner);
        const QMetaObject *meta = archive->metaObject();
        const QStringList names = {"CompressionLevel", "ExtractWithPath", "CheckCRC", "SavePaths", "RecursePaths"};
        for (const QString &name : names)
            QVERIFY2(meta->indexOfProperty(name.toLatin1()) >= 0, qPrintable(name));
        QCOMPARE(archive->property("CompressionLevel").value<TZLBArchive::TFileCompressionLevel>(),
                 TZLBArchive::fcDefault);
        for (const QString &name : names.mid(1))
            QCOMPARE(archive->property(name.toLatin1()).toBool(), false);
        QVERIFY(archive->setProperty("CompressionLevel", QVariant::fromValue(TZLBArchive::fcMaximum)));
        QCOMPARE(archive->CompressionLevel(), TZLBArchive::fcMaximum);

        // The owner destroys the open component, which closes without events.
        QVERIFY(archive->OpenArchive(path("a.zlb")));
        recorder.attach(*archive);
        watch = archive;
    }
    QVERIFY(watch.isNull());
    QCOMPARE(recorder.events, QStringList());
}

void TestZlbArchive::openEmptyNameCloses()
{
    makeArchive(path("a.zlb"), {{"a.txt", "a"}});
    TZLBArchive archive;
    QVERIFY(archive.OpenArchive(path("a.zlb")));
    Recorder recorder;
    recorder.attach(archive);
    QCOMPARE(archive.OpenArchive(""), false);
    QCOMPARE(recorder.events, QStringList({"progress  0"}));
    QCOMPARE(messageOf([&] { archive.GetFileCount(); }), "No archive is currently open");
}

void TestZlbArchive::fileCountNotPositive_data()
{
    QTest::addColumn<int>("count");
    QTest::newRow("zero") << 0;
    QTest::newRow("minus one") << -1;
    QTest::newRow("most negative") << std::numeric_limits<int>::min();
}

void TestZlbArchive::fileCountNotPositive()
{
    QFETCH(int, count);
    QByteArray bytes = makeArchive(path("e.zlb"), {{"a.txt", "a", "", true}});
    putInt32(bytes, trailerAt(bytes) + 4, count);
    fixCrc(bytes);
    testsupport::writeFile(path("e.zlb"), bytes);

    TZLBArchive archive;
    Recorder recorder;
    recorder.attach(archive);
    QVERIFY(archive.OpenArchive(path("e.zlb")));
    QCOMPARE(archive.GetFileCount(), 0);
    recorder.events.clear();
    archive.ExtractArchive(path("out/"));
    QVERIFY(!QFileInfo::exists(path("out")));
    QCOMPARE(recorder.events, QStringList({"progress " + path("e.zlb") + " 0"}));
}

void TestZlbArchive::registryProgress()
{
    QList<Item> items;
    for (int i = 0; i < 10; ++i)
        items.append({QString("f%1.txt").arg(i), QByteArray::number(i)});
    makeArchive(path("r.zlb"), items, true);
    TZLBArchive archive;
    Recorder recorder;
    recorder.attach(archive);
    QVERIFY(archive.OpenArchive(path("r.zlb")));
    QCOMPARE(recorder.events,
             QStringList({"progress  0", "progress Extracting archive registry 77",
                          "progress Extracting archive registry 100", "opened", "progress " + path("r.zlb") + " 0"}));
    QCOMPARE(archive.GetFileCount(), 10);
}

void TestZlbArchive::extractProgress()
{
    // 32768 bytes pass x.5 percentages, which round to the even neighbour; 300000 bytes span
    // more than one input block.
    makeArchive(
        path("p.zlb"),
        {{"half.bin", sample(32768, 3)}, {"odd.bin", sample(10000, 4), "", true}, {"big.bin", sample(300000, 5)}});
    TZLBArchive archive;
    archive.setCheckCRC(true);
    archive.OpenArchive(path("p.zlb"));
    Recorder recorder;
    recorder.attach(archive);
    archive.ExtractArchive(path("out/"));

    QStringList expected;
    for (int pct : {12, 25, 38, 50, 62, 75, 88, 100})
        expected << QString("progress Extracting half.bin %1").arg(pct);
    expected << "extracted " + path("out/half.bin");
    for (int pct : {41, 82, 100})
        expected << QString("progress Extracting odd.bin %1").arg(pct);
    expected << "extracted " + path("out/odd.bin");
    for (qint64 done = 4096;; done += 4096) {
        const qint64 clipped = std::min<qint64>(done, 300000);
        expected << QString("progress Extracting big.bin %1").arg(qRound(double(clipped) / 300000 * 100));
        if (clipped == 300000)
            break;
    }
    expected << "extracted " + path("out/big.bin") << "progress " + path("p.zlb") + " 0";
    QCOMPARE(recorder.events, expected);
}

void TestZlbArchive::destinationFolding_data()
{
    QTest::addColumn<QString>("dest"); // '~' stands for the test folder
    QTest::addColumn<QString>("filePath");
    QTest::addColumn<bool>("withPath");
    QTest::addColumn<QString>("expected"); // relative to the test folder
    QTest::newRow("trailing backslash") << "~\\out\\"
                                        << "sub" << true << "out/sub/f.txt";
    QTest::newRow("no trailing separator") << "~\\out"
                                           << "sub" << true << "out/sub/f.txt";
    QTest::newRow("doubled backslashes in dest") << "~\\\\out\\\\\\"
                                                 << "" << true << "out/f.txt";
    QTest::newRow("doubled backslashes in path") << "~\\out\\"
                                                 << "a\\\\b\\\\" << true << "out/a/b/f.txt";
    QTest::newRow("path with leading dot") << "~\\out\\"
                                           << ".\\a" << true << "out/a/f.txt";
    QTest::newRow("path not used") << "~\\out\\"
                                   << "sub" << false << "out/f.txt";
#ifndef Q_OS_WIN
    QTest::newRow("leading double backslash") << "\\\\~\\out"
                                              << "" << false << "out/f.txt";
#endif
}

void TestZlbArchive::destinationFolding()
{
    QFETCH(QString, dest);
    QFETCH(QString, filePath);
    QFETCH(bool, withPath);
    QFETCH(QString, expected);
    const QByteArray bytes = makeArchive(path("d.zlb"), {{"f.txt", "x", filePath}});
    QString root = FDir->path();
    if (dest.startsWith("\\\\~"))
        root = root.mid(1); // the absolute root's own '/' is made of the leading backslashes
    dest.replace("~", root);

    TZLBArchive archive;
    archive.setExtractWithPath(withPath);
    archive.OpenArchive(path("d.zlb"));
    archive.ExtractArchive(dest);
    QVERIFY2(QFileInfo::exists(path(expected)), qPrintable(tree(FDir->path()).join(' ')));
    QCOMPARE(tree(FDir->path()).filter(".txt"), QStringList{expected});
}

void TestZlbArchive::replaceQuestion_data()
{
    QTest::addColumn<bool>("exists");
    QTest::addColumn<int>("handler"); // 0 none, 1 leaves Replace false, 2 sets it true
    QTest::addColumn<bool>("asked");
    QTest::addColumn<bool>("written");
    QTest::newRow("new file, handler") << false << 1 << false << true;
    QTest::newRow("existing, no handler") << true << 0 << false << true;
    QTest::newRow("existing, handler keeps") << true << 1 << true << false;
    QTest::newRow("existing, handler replaces") << true << 2 << true << true;
}

void TestZlbArchive::replaceQuestion()
{
    QFETCH(bool, exists);
    QFETCH(int, handler);
    QFETCH(bool, asked);
    QFETCH(bool, written);
    makeArchive(path("q.zlb"), {{"q.txt", "new"}});
    if (exists)
        testsupport::writeFile(path("out/q.txt"), "old");
    TZLBArchive archive;
    Recorder recorder;
    archive.OpenArchive(path("q.zlb"));
    recorder.attach(archive);
    QStringList questions;
    if (handler != 0) {
        archive.OnReplaceFile = [&](const QString &name, bool &replace) {
            questions << QString("%1 %2").arg(name).arg(replace);
            if (handler == 2)
                replace = true;
        };
    }
    archive.ExtractArchive(path("out/"));
    // The question names the file as the system spells paths.
    QCOMPARE(questions, asked ? QStringList{QDir::toNativeSeparators(path("out/q.txt")) + " 0"} : QStringList());
    QCOMPARE(testsupport::readFile(path("out/q.txt")), written ? "new" : "old");
    QCOMPARE(recorder.events.contains("extracted " + path("out/q.txt")), written);
    QCOMPARE(tree(path("out")), QStringList{"q.txt"});
}

void TestZlbArchive::sameNameTwiceAsks()
{
    makeArchive(path("s.zlb"), {{"f.txt", "first", "a"}, {"f.txt", "second", "b"}});
    TZLBArchive archive;
    archive.OpenArchive(path("s.zlb"));
    int asked = 0;
    archive.OnReplaceFile = [&](const QString &, bool &) { ++asked; };
    archive.ExtractArchive(path("out/"));
    QCOMPARE(asked, 1);
    QCOMPARE(testsupport::readFile(path("out/f.txt")), "first");
}

void TestZlbArchive::replaceHandlerErrorPropagates()
{
    makeArchive(path("h.zlb"), {{"h.txt", "new"}, {"later.txt", "later"}});
    testsupport::writeFile(path("out/h.txt"), "old");
    TZLBArchive archive;
    archive.OpenArchive(path("h.zlb"));
    Recorder recorder;
    recorder.attach(archive);
    archive.OnReplaceFile = [](const QString &, bool &) { throw EAbort(); };
    QVERIFY_THROWS_EXCEPTION(EAbort, archive.ExtractArchive(path("out/")));
    QCOMPARE(recorder.events, QStringList{"progress " + path("h.zlb") + " 0"});
    QCOMPARE(tree(path("out")), QStringList{"h.txt"});
}

void TestZlbArchive::caseOfExistingTarget()
{
#ifdef Q_OS_WIN
    QSKIP("names compare without case here anyway");
#endif
    testsupport::writeFile(path("out/klv.exe"), "old");
    makeArchive(path("c.zlb"), {{"KLV.EXE", "new"}});
    TZLBArchive archive;
    archive.OpenArchive(path("c.zlb"));
    archive.ExtractArchive(path("out/"));
    QCOMPARE(tree(path("out")), QStringList{"klv.exe"});
    QCOMPARE(testsupport::readFile(path("out/klv.exe")), "new");
}

void TestZlbArchive::failingEntry_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<bool>("checkCrc");
    QTest::addColumn<int>("size");
    QTest::newRow("stream ends before Size") << "longer" << false << 200000;
    QTest::newRow("stream garbage") << "garbage" << false << 200000;
    QTest::newRow("CRC differs") << "crc" << true << 200000;
    QTest::newRow("stored data past the end") << "stored past end" << false << 200000;
    QTest::newRow("data position past the end") << "offset" << false << 200000;
    QTest::newRow("progress handler raises") << "progress" << false << 200000;
    // Entries of several I/O blocks take the path where the CRC runs beside the writing.
    QTest::newRow("CRC differs, several blocks") << "crc" << true << 1000017;
    QTest::newRow("CRC differs, stored, several blocks") << "crc stored" << true << 1000017;
    QTest::newRow("progress handler raises, several blocks") << "progress" << true << 1000017;
    QTest::newRow("stream ends before Size, several blocks") << "longer" << true << 1000017;
    QTest::newRow("stored data past the end, several blocks") << "stored past end" << true << 1000017;
}

void TestZlbArchive::failingEntry()
{
    QFETCH(QString, damage);
    QFETCH(bool, checkCrc);
    QFETCH(int, size);
    const bool stored = damage == "stored past end" || damage == "crc stored";
    const QByteArray content = sample(size, 9);
    QByteArray bytes = makeArchive(
        path("m.zlb"), {{"ok.txt", "fine", "", true}, {"big.bin", content, "", stored}, {"after.txt", "never"}});
    const qsizetype e1 = entryAt(bytes, 1);
    const TZLBFileEntry big = entry(bytes, 1);
    if (damage == "longer" || damage == "stored past end")
        putInt32(bytes, e1 + 512, big.Size + 100000);
    else if (damage == "garbage")
        bytes.replace(big.Offset, 64, QByteArray(64, '\xFF'));
    else if (damage == "crc" || damage == "crc stored")
        putInt32(bytes, e1 + 524, qint32(big.CRC ^ 1u));
    else if (damage == "offset")
        putInt32(bytes, e1 + 520, qint32(bytes.size() + 10));
    fixCrc(bytes);
    testsupport::writeFile(path("m.zlb"), bytes);
    testsupport::writeFile(path("out/big.bin"), "earlier version");

    TZLBArchive archive;
    archive.setCheckCRC(checkCrc);
    archive.OpenArchive(path("m.zlb"));
    Recorder recorder;
    recorder.attach(archive);
    if (damage == "progress") {
        archive.OnProgress = [&](const QString &msg, int32_t pct) {
            recorder.events << QString("progress %1 %2").arg(msg).arg(pct);
            if (msg == "Extracting big.bin" && pct > 50)
                throw std::runtime_error("stop");
        };
    }
    QCOMPARE(messageOf([&] { archive.ExtractArchive(path("out/")); }), "File (1) is corrupt");
    // The earlier target is untouched, no partial or temporary file is left, later entries are
    // not extracted, and the final progress event still comes.
    QCOMPARE(tree(path("out")), QStringList({"big.bin", "ok.txt"}));
    QCOMPARE(testsupport::readFile(path("out/big.bin")), "earlier version");
    QCOMPARE(testsupport::readFile(path("out/ok.txt")), "fine");
    QCOMPARE(recorder.events.last(), "progress " + path("m.zlb") + " 0");
    QVERIFY(!recorder.events.contains("extracted " + path("out/big.bin")));
    // The component stays open and works on.
    QCOMPARE(archive.GetFileCount(), 3);
}

void TestZlbArchive::largeEntries_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("stored");
    for (const int size : {262144, 262145, 1000017}) {
        QTest::addRow("stored %d", size) << size << true;
        QTest::addRow("deflated %d", size) << size << false;
    }
}

void TestZlbArchive::largeEntries()
{
    QFETCH(int, size);
    QFETCH(bool, stored);
    const QByteArray content = sample(size, 3);
    makeArchive(path("l.zlb"), {{"a.bin", content, "", stored}, {"b.bin", content.left(1000), "", stored}});
    TZLBArchive archive;
    archive.setCheckCRC(true);
    archive.OpenArchive(path("l.zlb"));
    int progress = 0;
    archive.OnProgress = [&](const QString &, int32_t) { ++progress; };
    archive.ExtractArchive(path("out/"));
    QCOMPARE(testsupport::readFile(path("out/a.bin")), content);
    QCOMPARE(testsupport::readFile(path("out/b.bin")), content.left(1000));
    QCOMPARE(tree(path("out")), QStringList({"a.bin", "b.bin"}));
    QVERIFY(progress >= size / 4096);
}

// Large stored entries have their CRC taken ahead by a worker that walks them all; one the
// replace question skips must not disturb the sums of the others.
void TestZlbArchive::largeStoredEntriesBesideSkipped_data()
{
    QTest::addColumn<int>("damaged");
    QTest::newRow("all sound") << -1;
    QTest::newRow("entry after the skipped one damaged") << 2;
}

void TestZlbArchive::largeStoredEntriesBesideSkipped()
{
    QFETCH(int, damaged);
    const QByteArray a = sample(900001, 31);
    const QByteArray b = sample(2000003, 32);
    const QByteArray c = sample(700007, 33);
    QByteArray bytes =
        makeArchive(path("s.zlb"), {{"a.bin", a, "", true}, {"b.bin", b, "", true}, {"c.bin", c, "", true}});
    if (damaged >= 0) {
        putInt32(bytes, entryAt(bytes, damaged) + 524, qint32(entry(bytes, damaged).CRC ^ 0x80u));
        fixCrc(bytes);
        testsupport::writeFile(path("s.zlb"), bytes);
    }
    testsupport::writeFile(path("out/b.bin"), "keep");
    TZLBArchive archive;
    archive.setCheckCRC(true);
    archive.OpenArchive(path("s.zlb"));
    archive.OnReplaceFile = [](const QString &name, bool &replace) { replace = !name.endsWith("b.bin"); };
    if (damaged >= 0) {
        QCOMPARE(messageOf([&] { archive.ExtractArchive(path("out/")); }), "File (2) is corrupt");
        QCOMPARE(tree(path("out")), QStringList({"a.bin", "b.bin"}));
    } else {
        archive.ExtractArchive(path("out/"));
        QCOMPARE(testsupport::readFile(path("out/c.bin")), c);
    }
    QCOMPARE(testsupport::readFile(path("out/a.bin")), a);
    QCOMPARE(testsupport::readFile(path("out/b.bin")), "keep");
}

void TestZlbArchive::failureMessages_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<QString>("message");
    QTest::newRow("no such file") << "missing"
                                  << "Archive file not found";
    QTest::newRow("a folder") << "folder"
                              << "Unable to open file (~/dir.zlb)";
    QTest::newRow("CRC differs") << "crc"
                                 << "The archive file appears to be corrupted";
    QTest::newRow("raw registry past the end") << "count"
                                               << "Unable to read archive file list";
    QTest::newRow("registry before the start") << "negative offset"
                                               << "Unable to read archive file list";
    QTest::newRow("registry not a stream") << "not compressed"
                                           << "Unable to read archive file list";
    QTest::newRow("registry beyond 2 GiB") << "bomb"
                                           << "Unable to read archive file list";
    QTest::newRow("registry beyond its stream") << "bomb small"
                                                << "Unable to read archive file list";
    QTest::newRow("opened handler raises") << "opened"
                                           << "Unable to read archive file list";
    QTest::newRow("count when closed") << "count closed"
                                       << "No archive is currently open";
    QTest::newRow("extract when closed") << "extract closed"
                                         << "No archive is currently open";
    QTest::newRow("entry when closed") << "entry closed"
                                       << "Index out of bounds";
    QTest::newRow("entry -1") << "entry -1"
                              << "Index out of bounds";
    QTest::newRow("entry past the end") << "entry 2"
                                        << "Index out of bounds";
    QTest::newRow("a file in the way") << "blocked"
                                       << "Unable to create destination path";
    QTest::newRow("archive gone before extraction") << "gone"
                                                    << "Unable to open file (~/a.zlb)";
}

void TestZlbArchive::failureMessages()
{
    QFETCH(QString, situation);
    QFETCH(QString, message);
    message.replace("~", FDir->path());
    QByteArray bytes = makeArchive(path("a.zlb"), {{"a.txt", "a", "sub"}, {"b.txt", "b"}});
    const qsizetype trailer = trailerAt(bytes);
    if (situation == "crc")
        bytes[0] = char(bytes[0] ^ 1);
    else if (situation == "count")
        putInt32(bytes, trailer + 4, 3);
    else if (situation == "negative offset")
        putInt32(bytes, trailer + 16, -532);
    else if (situation == "not compressed")
        bytes[trailer + 20] = 1;
    if (situation.startsWith("bomb")) {
        putInt32(bytes, trailer + 4, situation == "bomb" ? 20000000 : 100000);
        bytes[trailer + 20] = 1;
    }
    if (situation != "crc")
        fixCrc(bytes);
    testsupport::writeFile(path("a.zlb"), bytes);
    QDir().mkpath(path("dir.zlb"));

    TZLBArchive archive;
    archive.setExtractWithPath(true);
    if (situation == "opened")
        archive.OnArchiveOpened = [](QObject *) { throw std::runtime_error("handler"); };
    const auto act = [&] {
        if (situation == "missing")
            archive.OpenArchive(path("missing.zlb"));
        else if (situation == "folder")
            archive.OpenArchive(path("dir.zlb"));
        else if (situation == "count closed")
            archive.GetFileCount();
        else if (situation == "extract closed")
            archive.ExtractArchive(path("out/"));
        TZLBFileEntry e;
        if (situation == "entry closed")
            archive.GetFileEntry(0, e);
        archive.OpenArchive(path("a.zlb"));
        if (situation == "entry -1")
            archive.GetFileEntry(-1, e);
        if (situation == "entry 2")
            archive.GetFileEntry(2, e);
        if (situation == "blocked")
            testsupport::writeFile(path("out/sub"), "a file");
        if (situation == "gone")
            QFile::remove(path("a.zlb"));
        archive.ExtractArchive(path("out/"));
    };
    QCOMPARE(messageOf(act), message);
    if (message.startsWith("Unable to read") || message.startsWith("The archive"))
        QCOMPARE(messageOf([&] { archive.GetFileCount(); }), "No archive is currently open");
}

void TestZlbArchive::hostileNames_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("folder");
    QTest::addColumn<bool>("refused");
    QTest::newRow("name ..") << QByteArray("..") << QByteArray() << true;
    QTest::newRow("name .") << QByteArray(".") << QByteArray() << true;
    QTest::newRow("name '.. '") << QByteArray(".. ") << QByteArray() << true;
    QTest::newRow("empty name") << QByteArray() << QByteArray() << true;
    QTest::newRow("backslash in name") << QByteArray("..\\..\\evil") << QByteArray() << true;
    QTest::newRow("slash in name") << QByteArray("../../evil") << QByteArray() << true;
    QTest::newRow("drive in name") << QByteArray("C:evil") << QByteArray() << true;
    QTest::newRow("control character") << QByteArray("evil\0.txt", 9) << QByteArray() << true;
    QTest::newRow("parent folder") << QByteArray("evil") << QByteArray("..\\..\\..") << true;
    QTest::newRow("parent inside") << QByteArray("evil") << QByteArray("a\\..\\..\\..\\..\\x") << true;
    QTest::newRow("parent with slash") << QByteArray("evil") << QByteArray("a/../../..") << true;
    QTest::newRow("parent with blank") << QByteArray("evil") << QByteArray("sub\\.. \\.. \\..") << true;
    QTest::newRow("absolute folder") << QByteArray("evil") << QByteArray("\\tmp") << true;
    QTest::newRow("absolute slash folder") << QByteArray("evil") << QByteArray("/tmp") << true;
    QTest::newRow("drive folder") << QByteArray("evil") << QByteArray("C:\\x") << true;
    QTest::newRow("folder unused without paths") << QByteArray("fine") << QByteArray("..\\..\\..") << false;
}

void TestZlbArchive::hostileNames()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, folder);
    QFETCH(bool, refused);
    const bool withPath = QTest::currentDataTag() != QByteArray("folder unused without paths");
    QByteArray bytes = makeArchive(path("x.zlb"), {{"ok.txt", "ok", "", true}, {"placeholder", "evil", "p", true}});
    putText(bytes, entryAt(bytes, 1), name);
    putText(bytes, entryAt(bytes, 1) + 256, folder);
    fixCrc(bytes);
    testsupport::writeFile(path("x.zlb"), bytes);
    const QString dest = path("a/b/c/dest");
    QDir().mkpath(dest);
    const QStringList before = tree(FDir->path());

    TZLBArchive archive;
    archive.setExtractWithPath(withPath);
    archive.setCheckCRC(true);
    archive.OpenArchive(path("x.zlb"));
    const QString message = messageOf([&] { archive.ExtractArchive(dest + "/"); });
    if (refused) {
        QCOMPARE(message, "File (1) is corrupt");
        QStringList expected = before + QStringList{"a/b/c/dest/ok.txt"};
        expected.sort();
        QCOMPARE(tree(FDir->path()), expected);
        QVERIFY(!QFileInfo::exists("/tmp/evil"));
    } else {
        QCOMPARE(message, "");
        QCOMPARE(tree(dest), QStringList({"fine", "ok.txt"}));
    }
}

void TestZlbArchive::tempFile()
{
    TZLBArchive archive;
    QString first;
    QString second;
    archive.GetTempFile(first);
    archive.GetTempFile(second);
    const QFileInfo info(first);
    QVERIFY(info.isFile());
    QCOMPARE(info.size(), 0);
    QVERIFY(info.fileName().startsWith("ZLB"));
    QCOMPARE(QDir(info.absolutePath()).canonicalPath(), QDir(QDir::tempPath()).canonicalPath());
    QVERIFY(first != second);
    QFile::remove(first);
    QFile::remove(second);
}

void TestZlbArchive::fileList_data()
{
    QTest::addColumn<bool>("recurse");
    QTest::addColumn<bool>("savePaths");
    QTest::addColumn<QStringList>("expected"); // in the order required where it matters
    QTest::newRow("files of the folder") << false << false << QStringList{"f1"};
    QTest::newRow("with folders") << false << true << QStringList{"f1", "s"};
    QTest::newRow("recursive") << true << false << QStringList{"s\\t\\f3", "s\\f2", "f1"};
    QTest::newRow("recursive with folders") << true << true << QStringList{"s\\t\\f3", "s\\f2", "s\\t", "f1", "s"};
}

void TestZlbArchive::fileList()
{
    QFETCH(bool, recurse);
    QFETCH(bool, savePaths);
    QFETCH(QStringList, expected);
    testsupport::writeFile(path("root/f1"), "1");
    testsupport::writeFile(path("root/s/f2"), "2");
    testsupport::writeFile(path("root/s/t/f3"), "3");
    TZLBArchive archive;
    archive.setRecursePaths(recurse);
    archive.setSavePaths(savePaths);
    QStringList list{"kept"};
    archive.GetFileList(path("root") + "\\", list);
    QCOMPARE(list.takeFirst(), "kept");
    const QString base = path("root") + "\\";
    for (QString &item : list) {
        QVERIFY2(item.startsWith(base), qPrintable(item));
        item = item.mid(base.size());
    }
    QCOMPARE(QSet<QString>(list.begin(), list.end()), QSet<QString>(expected.begin(), expected.end()));
    QCOMPARE(list.size(), expected.size());
    // A folder's walk stands before the entries of the folder that holds it.
    if (recurse) {
        QVERIFY(list.indexOf("s\\t\\f3") < list.indexOf("s\\f2"));
        QVERIFY(list.indexOf("s\\f2") < list.indexOf("f1"));
    }
}

QTEST_GUILESS_MAIN(TestZlbArchive)
#include "tst_zlbarchive.moc"
