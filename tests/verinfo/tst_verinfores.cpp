#include "verinfo/FileVersionInfo.h"
#include "verinfo/VerInfoRes.h"

#include "PeFixtures.h"
#include "TestSupport.h"
#include "platform/Ansi.h"

#include <QDir>
#include <QJsonObject>
#include <QMap>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>
#include <memory>

using namespace pefixtures;

namespace {

const QString kDutch = "041304E4";

VersionRc table(const QString &block, QList<QPair<QString, QString>> values,
                QList<QPair<quint16, quint16>> translations = {{0x413, 1252}})
{
    VersionRc rc;
    rc.tables = {{block, values}};
    rc.translations = translations;
    return rc;
}

VersionRc flagged(quint32 mask, quint32 flags)
{
    VersionRc rc = table(kDutch, {{"FileVersion", "1.0.0.0"}});
    rc.flagsMask = mask;
    rc.flags = flags;
    return rc;
}

// The recipes every test here reads; built once per architecture.
QMap<QString, VersionRc> recipes()
{
    QMap<QString, VersionRc> r;
    r["full"] = fullRecipe();
    VersionRc englishFirst = fullRecipe();
    englishFirst.translations = {{0x409, 1200}, {0x413, 1252}};
    r["english-first"] = englishFirst;
    r["sparse"] = table(kDutch, {{"FileVersion", "2.0.0.1"}, {"Comments", ""}});
    // "ZZZZ" is overwritten with zero characters after the build (windres stops at a zero).
    r["padded"] = table(kDutch, {{"FileVersion", "7.0.0.0ZZZZ"}, {"ProductName", "Klv"}});
    r["lowercase-block"] = table("041304e4", {{"FileVersion", "3.1.4.1"}});
    r["no-table-for-translation"] = table(kDutch, {{"FileVersion", "4.0.0.0"}}, {{0x407, 1252}});
    r["no-translation"] = table(kDutch, {{"FileVersion", "5.0.0.0"}}, {});
    VersionRc none;
    none.versionResource = false;
    r["no-version"] = none;
    r["flags-pre-debug"] = flagged(0x3F, 0x03);
    r["flags-masked"] = flagged(0x1D, 0x2B);
    r["flags-other-bits"] = flagged(0x3F, 0x14);
    r["flags-none"] = flagged(0x3F, 0x00);
    return r;
}

QString fileTag(const QString &arch)
{
    return arch == "pe32" ? "pe32" : "pe32plus";
}

const QStringList kKeys = {"CompanyName",    "FileDescription", "FileVersion",      "InternalName",
                           "LegalCopyright", "LegalTrademarks", "OriginalFilename", "ProductName",
                           "ProductVersion", "Comments",        "IntegerVersion"};

QStringList allValues(const TVerInfoRes &res)
{
    QStringList values;
    for (int i = 0; i < kKeys.size(); ++i)
        values << res.GetVersionValue(TVerInfoKey(i));
    return values;
}

// What comes back through the ANSI functions for a text: Windows-1252, '?' for the rest.
// A text value as the file version functions hand it out: converted to the ANSI code page.
QString throughAnsi(const QString &text)
{
#ifdef _WIN32
    return QString::fromLocal8Bit(text.toLocal8Bit()); // the system's conversion, with best fit
#else
    return klv::ansi::decode(klv::ansi::encode(text));
#endif
}

} // namespace

class TestVerInfoRes : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void fixturesAreRealPeFiles_data();
    void fixturesAreRealPeFiles();
    void values_data();
    void values();
    void flags_data();
    void flags();
    void failures_data();
    void failures();
    void agreesWithExiftool_data();
    void agreesWithExiftool();
    void platformFunctions_data();
    void platformFunctions();
    void blockSizeIsChecked();
    void nameWithoutFolderAndCase();
    void ownExecutable();
    void keyOutsideTable();

private:
    QString fixture(const QString &name, const QString &arch) const
    {
        return FDir.filePath(name + "-" + fileTag(arch) + ".exe");
    }
    QTemporaryDir FDir;
};

void TestVerInfoRes::initTestCase()
{
    QVERIFY(FDir.isValid());
    const auto all = recipes();
    for (const QString &arch : architectures()) {
        for (auto it = all.begin(); it != all.end(); ++it) {
            const QString error = build(arch, it.value(), fixture(it.key(), arch));
            QVERIFY2(error.isEmpty(), qPrintable(error));
        }
        // Trailing zero characters inside the stored length of a value.
        QByteArray padded = testsupport::readFile(fixture("padded", arch));
        const QByteArray marker = QByteArray("Z\0Z\0Z\0Z\0", 8);
        const qsizetype at = padded.indexOf(marker);
        QVERIFY(at > 0);
        padded.replace(at, marker.size(), QByteArray(marker.size(), '\0'));
        testsupport::writeFile(fixture("padded", arch), padded);
    }
}

void TestVerInfoRes::fixturesAreRealPeFiles_data()
{
    QTest::addColumn<QString>("arch");
    QTest::addColumn<QString>("fileSays");
    QTest::addColumn<QString>("peType");
    QTest::newRow("pe32") << "pe32"
                          << "PE32 executable"
                          << "PE32";
    QTest::newRow("pe32+") << "pe32+"
                           << "PE32+ executable"
                           << "PE32+";
}

void TestVerInfoRes::fixturesAreRealPeFiles()
{
    QFETCH(QString, arch);
    QFETCH(QString, fileSays);
    QFETCH(QString, peType);
    QByteArray output;
    QCOMPARE(testsupport::run("file", {"-b", fixture("full", arch)}, &output), 0);
    QVERIFY2(output.startsWith(fileSays.toLatin1()), output.constData());
    QCOMPARE(exiftool(fixture("full", arch)).value("PEType").toString(), peType);
}

void TestVerInfoRes::values_data()
{
    QTest::addColumn<QString>("arch");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("expected");
    const QStringList full = {"Kelvora B.V.", "Automatisch updaten", "136.46.0.12", "AutoUpdate",
                              QString::fromUtf16(u"\u00A9 2024 Kelvora \u2013 be\u00EBindigd \u20AC"),
                              QString::fromUtf16(u"Kelvora\u2122"), "AutoUpdate.exe", "Kelvora \"Pro\" C:\\Klv",
                              "136.46 build 7",
                              // No Omega in Windows-1252: the portable reader writes '?', the
                              // Win32 functions the system's best fit.
                              throughAnsi(QString::fromUtf16(u"Ohm \u03A9")), "1010"};
    QStringList english(11);
    english[0] = "Kelvora Ltd";
    english[2] = "9.9.9.9";
    QStringList sparse(11);
    sparse[2] = "2.0.0.1";
    QStringList padded(11);
    padded[2] = "7.0.0.0";
    padded[7] = "Klv";
    QStringList lower(11);
    lower[2] = "3.1.4.1";
    for (const QString &arch : architectures()) {
        auto row = [&](const char *name, const QStringList &expected) {
            QTest::addRow("%s %s", name, qPrintable(arch)) << arch << QString(name) << expected;
        };
        row("full", full);
        row("english-first", english); // the first translation picks the table, not the table order
        row("sparse", sparse);
        row("padded", padded);
        row("lowercase-block", lower);
        row("no-table-for-translation", QStringList(11));
    }
}

void TestVerInfoRes::values()
{
    QFETCH(QString, arch);
    QFETCH(QString, name);
    QFETCH(QStringList, expected);
    QObject owner;
    const TVerInfoRes res(&owner, fixture(name, arch));
    QCOMPARE(allValues(res), expected);
    QCOMPARE(res.parent(), &owner);
    QCOMPARE(res.fileName(), fixture(name, arch));
    QString out = "stale";
    res.GetVersionValue(viFileVersion, out);
    QCOMPARE(out, expected[viFileVersion]);
}

void TestVerInfoRes::flags_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("all four, in order") << "full"
                                        << QStringList{"Pre-release", "Private build", "Special build", "Debug"};
    QTest::newRow("pre-release before debug") << "flags-pre-debug" << QStringList{"Pre-release", "Debug"};
    QTest::newRow("mask clears set flags") << "flags-masked" << QStringList{"Private build", "Debug"};
    QTest::newRow("bits without text") << "flags-other-bits" << QStringList{};
    QTest::newRow("none") << "flags-none" << QStringList{};
}

void TestVerInfoRes::flags()
{
    QFETCH(QString, name);
    QFETCH(QStringList, expected);
    for (const QString &arch : architectures()) {
        const TVerInfoRes res(nullptr, fixture(name, arch));
        QCOMPARE(res.FileFlags(), expected);
    }
}

void TestVerInfoRes::failures_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("message");
    const QString none = "No Version Info Available.";
    QTest::newRow("no version resource") << "no-version"
                                         << "ENoVerInfoError" << none;
    QTest::newRow("missing file") << "missing"
                                  << "ENoVerInfoError" << none;
    QTest::newRow("empty file") << "empty"
                                << "ENoVerInfoError" << none;
    QTest::newRow("text file") << "text"
                               << "ENoVerInfoError" << none;
    QTest::newRow("folder") << "folder"
                            << "ENoVerInfoError" << none;
    QTest::newRow("no translation table") << "no-translation"
                                          << "EVerInfoError"
                                          << "No language info.";
    QTest::newRow("translation shorter than a pair") << "short-translation"
                                                     << "EVerInfoError"
                                                     << "No language info.";
    QTest::newRow("fixed info shorter than 52") << "short-fixed"
                                                << "eNoFixeVerInfo"
                                                << "No fixed file info";
    QTest::newRow("no fixed info") << "no-fixed"
                                   << "eNoFixeVerInfo"
                                   << "No fixed file info";
}

void TestVerInfoRes::failures()
{
    QFETCH(QString, file);
    QFETCH(QString, className);
    QFETCH(QString, message);
    for (const QString &arch : architectures()) {
        QString path = fixture(file, arch);
        QByteArray full = testsupport::readFile(fixture("full", arch));
        const qsizetype root = versionTreeOffset(full);
        QVERIFY(root > 0);
        if (file == "empty") {
            testsupport::writeFile(path, {});
        } else if (file == "text") {
            testsupport::writeFile(path, "MZ but nothing else\r\n");
        } else if (file == "folder") {
            QVERIFY(QDir(FDir.path()).mkpath(path));
        } else if (file == "short-translation") {
            const qsizetype node = nodeOffset(full, "Translation", root);
            QVERIFY(node > root);
            writeU16(full, node + 2, 2); // half a language/code page pair
            testsupport::writeFile(path, full);
        } else if (file == "short-fixed" || file == "no-fixed") {
            // Take bytes out of the fixed information and close the gap, so that the children
            // still follow it; the tree shrinks and zeros fill the rest of the section.
            const quint16 keep = file == "no-fixed" ? 0 : 40;
            const qsizetype fixed = root + 40;
            QCOMPARE(readU16(full, root + 2), 52);
            full.remove(fixed + keep, 52 - keep);
            full.insert(root + readU16(full, root) - (52 - keep), QByteArray(52 - keep, '\0'));
            writeU16(full, root, quint16(readU16(full, root) - (52 - keep)));
            writeU16(full, root + 2, keep);
            testsupport::writeFile(path, full);
        }
        QObject owner;
        try {
            TVerInfoRes res(&owner, path);
            QFAIL(qPrintable(file + " " + arch + ": no exception"));
        } catch (const klv::Exception &e) {
            QCOMPARE(e.className(), className);
            QCOMPARE(e.message(), message);
        }
        QVERIFY(owner.children().isEmpty()); // a failed construction leaves no object behind
    }
}

void TestVerInfoRes::agreesWithExiftool_data()
{
    QTest::addColumn<QString>("arch");
    QTest::addColumn<QString>("name");
    // exiftool reads the first string table only; these have their first translation first.
    for (const QString &arch : architectures()) {
        for (const char *name :
             {"full", "sparse", "padded", "lowercase-block", "flags-pre-debug", "flags-masked", "flags-other-bits"})
            QTest::addRow("%s %s", name, qPrintable(arch)) << arch << QString(name);
    }
}

void TestVerInfoRes::agreesWithExiftool()
{
    QFETCH(QString, arch);
    QFETCH(QString, name);
    const QString path = fixture(name, arch);
    const QJsonObject tags = exiftool(path);
    QVERIFY2(!tags.isEmpty(), "exiftool gave no answer");
    const TVerInfoRes res(nullptr, path);

    int compared = 0;
    for (int i = 0; i < kKeys.size(); ++i) {
        // exiftool spells one tag differently and writes number-like values as JSON numbers.
        const QString tag = kKeys[i] == "OriginalFilename" ? "OriginalFileName" : kKeys[i];
        if (!tags.contains(tag))
            continue;
        const QString theirs = tags.value(tag).toVariant().toString();
        QCOMPARE(res.GetVersionValue(TVerInfoKey(i)), throughAnsi(theirs));
        ++compared;
    }
    QVERIFY(compared > 0);

    // Flags: exiftool lists the set bits by name without the mask; the reader applies it.
    const uint mask = tags.value("FileFlagsMask").toString().toUInt(nullptr, 16);
    const QStringList theirFlags = tags.value("FileFlags").toString().split(", ", Qt::SkipEmptyParts);
    const QList<QPair<uint, QString>> order = {
        {0x02, "Pre-release"}, {0x08, "Private build"}, {0x20, "Special build"}, {0x01, "Debug"}};
    QStringList expected;
    for (const auto &[bit, text] : order) {
        if ((mask & bit) && theirFlags.contains(text))
            expected << text;
    }
    QCOMPARE(res.FileFlags(), expected);

    // The fixed file information block agrees on the numeric versions too.
    const quint32 size = klv::verinfo::getFileVersionInfoSize(path, nullptr);
    QByteArray block(int(size), '\0');
    QVERIFY(klv::verinfo::getFileVersionInfo(path, 0, size, block.data()));
    const void *fixed = nullptr;
    quint32 length = 0;
    QVERIFY(klv::verinfo::verQueryValue(block.constData(), "\\", &fixed, &length));
    QCOMPARE(length, 52u);
    const char *f = static_cast<const char *>(fixed);
    auto version = [&](int at) {
        const quint32 ms = qFromLittleEndian<quint32>(f + at), ls = qFromLittleEndian<quint32>(f + at + 4);
        return QString("%1.%2.%3.%4").arg(ms >> 16).arg(ms & 0xFFFF).arg(ls >> 16).arg(ls & 0xFFFF);
    };
    QCOMPARE(version(8), tags.value("FileVersionNumber").toString());
    QCOMPARE(version(16), tags.value("ProductVersionNumber").toString());
}

void TestVerInfoRes::platformFunctions_data()
{
    QTest::addColumn<QString>("subBlock");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QByteArray>("value"); // empty: not compared
    QTest::newRow("root") << "\\" << true << QByteArray();
    QTest::newRow("translations in stored order")
        << "\\VarFileInfo\\Translation" << true << QByteArray("\x13\x04\xE4\x04\x09\x04\xB0\x04", 8);
    QTest::newRow("text as Windows-1252 with its zero")
        << "\\StringFileInfo\\041304E4\\LegalTrademarks" << true << QByteArray("Kelvora\x99\0", 9);
    QTest::newRow("keys without case") << "\\stringfileinfo\\041304e4\\companyname" << true
                                       << QByteArray("Kelvora B.V.\0", 13);
    QTest::newRow("second table by path")
        << "\\StringFileInfo\\040904B0\\FileVersion" << true << QByteArray("9.9.9.9\0", 8);
    QTest::newRow("missing key") << "\\StringFileInfo\\041304E4\\PrivateBuild" << false << QByteArray();
    QTest::newRow("missing table") << "\\StringFileInfo\\04070000\\FileVersion" << false << QByteArray();
    QTest::newRow("below a value") << "\\StringFileInfo\\041304E4\\FileVersion\\x" << false << QByteArray();
    QTest::newRow("key prefix only") << "\\StringFileInfo\\041304E4\\File" << false << QByteArray();
}

void TestVerInfoRes::platformFunctions()
{
    QFETCH(QString, subBlock);
    QFETCH(bool, found);
    QFETCH(QByteArray, value);
    for (const QString &arch : architectures()) {
        const QString path = fixture("full", arch);
        quint32 handle = 99;
        const quint32 size = klv::verinfo::getFileVersionInfoSize(path, &handle);
        QVERIFY(size > 52);
        QCOMPARE(handle, 0u);
        QByteArray block(int(size), '\x5A');
        QVERIFY(klv::verinfo::getFileVersionInfo(path, handle, size, block.data()));
        const void *buffer = nullptr;
        quint32 length = 0;
        QCOMPARE(klv::verinfo::verQueryValue(block.constData(), subBlock, &buffer, &length), found);
        if (!found)
            continue;
        // Whatever comes back lies inside the block.
        const char *p = static_cast<const char *>(buffer);
        QVERIFY(p >= block.constData() && p + length <= block.constData() + block.size());
        if (!value.isEmpty())
            QCOMPARE(QByteArray(p, length), value);
    }
}

void TestVerInfoRes::blockSizeIsChecked()
{
    const QString path = fixture("full", "pe32");
    const quint32 size = klv::verinfo::getFileVersionInfoSize(path, nullptr);
    // A buffer one byte short: Windows fills it with the truncated block, the portable reader
    // refuses; neither writes past it.
    QByteArray block(int(size), '\x5A');
#ifdef _WIN32
    QVERIFY(klv::verinfo::getFileVersionInfo(path, 0, size - 1, block.data()));
#else
    QVERIFY(!klv::verinfo::getFileVersionInfo(path, 0, size - 1, block.data()));
#endif
    QCOMPARE(block.back(), '\x5A');
    QCOMPARE(klv::verinfo::getFileVersionInfoSize(FDir.filePath("missing.exe"), nullptr), 0u);
    QCOMPARE(klv::verinfo::getFileVersionInfoSize(fixture("no-version", "pe32+"), nullptr), 0u);
}

void TestVerInfoRes::nameWithoutFolderAndCase()
{
    const QString folder = FDir.filePath("case");
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(QFile::copy(fixture("full", "pe32"), folder + "/KLV.EXE"));
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(folder));
    std::unique_ptr<TVerInfoRes> res;
    try {
        res = std::make_unique<TVerInfoRes>(nullptr, "klv.exe");
    } catch (const klv::Exception &e) {
        QDir::setCurrent(previous);
        QFAIL(qPrintable(e.message()));
    }
    QDir::setCurrent(previous);
    QCOMPARE(res->fileName(), "klv.exe");
    QCOMPARE(res->GetVersionValue(viIntegerVersion), "1010");
}

void TestVerInfoRes::ownExecutable()
{
    // The test program is no PE file with a version resource.
    try {
        TVerInfoRes res(QCoreApplication::instance());
        QFAIL("no exception");
    } catch (const ENoVerInfoError &e) {
        QCOMPARE(e.message(), "No Version Info Available.");
    }
}

void TestVerInfoRes::keyOutsideTable()
{
    const TVerInfoRes res(nullptr, fixture("full", "pe32+"));
    for (int key : {11, 12, 15}) {
        QString value = "stale";
        res.GetVersionValue(TVerInfoKey(key), value);
        QCOMPARE(value, QString());
    }
}

QTEST_GUILESS_MAIN(TestVerInfoRes)
#include "tst_verinfores.moc"
