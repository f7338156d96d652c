// The publishing tool, run as the maker runs it: keys, a release on a server tree, signing, and a
// check that catches what an updater with the key would refuse.

#include "archive/ZLBFormat.h"
#include "archive/ZLIBArchive.h"
#include "platform/IniFile.h"
#include "signing/Ed25519.h"
#include "signing/ListSeal.h"

#include "TestSupport.h"

#include <QCryptographicHash>
#include <QDate>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

class TestKlvPublish : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void usage_data();
    void usage();
    void keygen();
    void keygenRefusesToReplace_data();
    void keygenRefusesToReplace();
    void releaseWritesTreeAndList();
    void releasePackagesHoldTheFiles_data();
    void releasePackagesHoldTheFiles();
    void releaseRules_data();
    void releaseRules();
    void releaseIntoExistingList();
    void releaseRefuses_data();
    void releaseRefuses();
    void signThenVerify();
    void signSerialAndExpiry_data();
    void signSerialAndExpiry();
    void signRefuses_data();
    void signRefuses();
    void verifyCatches_data();
    void verifyCatches();
    void verifyLeavesSerialFileAlone();
    void verifyChecksPatches_data();
    void verifyChecksPatches();

private:
    std::unique_ptr<QTemporaryDir> FDir;
    QString path(const QString &name) const { return FDir->filePath(name); }
    int tool(const QStringList &args, QByteArray *output = nullptr);
    bool makePe(const QString &name, const QByteArray &rc);
    void makeSample();
    int releaseSample(const QStringList &extra = {}, QByteArray *output = nullptr);
    void makeKeys();
    void makeSignedTree();
    void resign(const QString &list, const QByteArray &bytes);
    QStringList treeFiles() const;
};

namespace {

using klv::IniFile;

const QByteArray kNoVersionRc = "1 RCDATA\nBEGIN\n  \"no version here\"\nEND\n";
const QString kList = "tree/supports/whatsnew.klv";

IniFile readList(const QString &file)
{
    return IniFile::fromBytes(testsupport::readFile(file));
}

QString sectionText(const IniFile &list, const QString &section)
{
    QStringList lines;
    for (const QString &key : list.readSection(section))
        lines << key + u'=' + list.readString(section, key, QString());
    return lines.join(u'|');
}

} // namespace

void TestKlvPublish::init()
{
    FDir = std::make_unique<QTemporaryDir>();
    QVERIFY(FDir->isValid());
}

int TestKlvPublish::tool(const QStringList &args, QByteArray *output)
{
    QByteArray ignored;
    return testsupport::run(KLVPUBLISH_EXE, args, output ? output : &ignored);
}

bool TestKlvPublish::makePe(const QString &name, const QByteArray &rc)
{
    const QString rcFile = path(name + ".rc");
    testsupport::writeFile(rcFile, rc);
    QByteArray output;
    const int code = testsupport::run(
        "bash", {QDir(testsupport::toolsDir()).filePath("make-pe.sh"), "pe32", rcFile, path(name)}, &output);
    QFile::remove(rcFile);
    if (code != 0)
        qWarning("make-pe.sh: %s", output.constData());
    return code == 0;
}

// A release as a maker has it: a program with a version, a library without one (also wanted in a
// subfolder), a data file, conversion and update scripts.
void TestKlvPublish::makeSample()
{
    QVERIFY(testsupport::makeVersionedExe(path("progs/klv.exe"), {{"FileVersion", "5.3.0.1"}}));
    QVERIFY(makePe("progs/helper.dll", kNoVersionRc));
    QVERIFY(QDir().mkpath(path("progs/reports")));
    QVERIFY(QFile::copy(path("progs/helper.dll"), path("progs/reports/helper.dll")));
    testsupport::writeFile(path("progs/premies.csv"), "KOEL;12,50\r\nWAS;7,25\r\n");
    // A '%' in a name is text, in every message and line it reaches.
    testsupport::writeFile(path("progs/korting%1.txt"), "10%\r\n");
    testsupport::writeFile(path("scripts/138.sql"), "alter table X add Y int;\r\n");
    testsupport::writeFile(path("scripts/137.SQL"), "alter table X add Z int;\r\n");
    testsupport::writeFile(path("scripts/u1010.sql"), "update X set Y = 1;\r\n");
    testsupport::writeFile(path("scripts/U1011.SQL"), "update X set Y = 2;\r\n");
}

int TestKlvPublish::releaseSample(const QStringList &extra, QByteArray *output)
{
    return tool(QStringList{"release", "--release", "138", "--programs", path("progs"), "--scripts", path("scripts"),
                            "--tree", path("tree")} +
                    extra,
                output);
}

void TestKlvPublish::makeKeys()
{
    QByteArray output;
    QCOMPARE(tool({"keygen", path("maker")}, &output), 0);
}

void TestKlvPublish::makeSignedTree()
{
    makeSample();
    makeKeys();
    QByteArray output;
    QCOMPARE(releaseSample({"--command", "premielijst$premies.csv"}, &output), 0);
    QCOMPARE(tool({"sign", "--key", path("maker.key"), "--tree", path("tree")}, &output), 0);
}

// A list changed by hand and signed again with the maker's key: valid, but maybe incomplete.
void TestKlvPublish::resign(const QString &list, const QByteArray &bytes)
{
    const auto seed = klv::signing::readSecretKeyText(testsupport::readFile(path("maker.key")));
    QVERIFY(seed);
    testsupport::writeFile(path(list), bytes);
    testsupport::writeFile(path(list + ".sig"), klv::signing::sign(bytes, *seed));
}

QStringList TestKlvPublish::treeFiles() const
{
    QStringList files;
    QDirIterator it(path("tree"), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(path("tree")).relativeFilePath(it.next());
    files.sort();
    return files;
}

void TestKlvPublish::usage_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("text");
    QTest::newRow("help") << QStringList{"--help"} << 0 << "klvpublish verify --key";
    QTest::newRow("nothing") << QStringList{} << 2 << "no command";
    QTest::newRow("unknown command") << QStringList{"publish"} << 2 << "unknown command";
    QTest::newRow("unknown option") << QStringList{"sign", "--keys", "k"} << 2 << "unknown option";
    QTest::newRow("option without value") << QStringList{"sign", "--key"} << 2 << "needs a value";
    QTest::newRow("single option twice") << QStringList{"sign", "--tree", "a", "--tree", "b"} << 2 << "more than once";
    QTest::newRow("sign without tree") << QStringList{"sign", "--key", "k"} << 2 << "needs --tree";
    QTest::newRow("stray argument") << QStringList{"verify", "extra"} << 2 << "unexpected argument";
    QTest::newRow("keygen without base") << QStringList{"keygen"} << 2 << "base name";
    QTest::newRow("release number") << QStringList{"release", "--release", "1e3"} << 2 << "whole number";
    QTest::newRow("release zero") << QStringList{"release", "--release", "0"} << 2 << "from 1 to 65535";
    QTest::newRow("bad date") << QStringList{"verify", "--key", "k", "--tree", "t", "--today", "31-12-2030"} << 2
                              << "yyyy-MM-dd";
}

void TestKlvPublish::usage()
{
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QString, text);
    QByteArray output;
    QCOMPARE(tool(args, &output), status);
    QVERIFY2(output.contains(text.toUtf8()), output.constData());
}

void TestKlvPublish::keygen()
{
    QByteArray output;
    QCOMPARE(tool({"keygen", path("maker")}, &output), 0);
    const auto publicKey = klv::signing::readPublicKeyText(testsupport::readFile(path("maker.pub")));
    const auto seed = klv::signing::readSecretKeyText(testsupport::readFile(path("maker.key")));
    QVERIFY(publicKey && seed);
    QVERIFY2(output.contains("Public key: " + publicKey->toHex()), output.constData());
    QCOMPARE(klv::signing::publicKeyOf(*seed), *publicKey);
    const QByteArray message = "[KLV138]\r\nklv.exe=5.3.0.1\r\n";
    QVERIFY(klv::signing::verify(message, klv::signing::sign(message, *seed), *publicKey));

    // Windows keeps no such mode bits; Qt reports the file as the owner's there either way.
#ifndef Q_OS_WIN
    const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther |
                                      QFile::WriteOther | QFile::ExeOther | QFile::ExeOwner;
    const QFile::Permissions mode = QFile::permissions(path("maker.key"));
    QCOMPARE(mode & others, QFile::Permissions());
    QCOMPARE(mode & (QFile::ReadOwner | QFile::WriteOwner), QFile::ReadOwner | QFile::WriteOwner);
#endif

    // A second pair is another pair.
    QCOMPARE(tool({"keygen", path("other")}), 0);
    QVERIFY(testsupport::readFile(path("other.pub")) != testsupport::readFile(path("maker.pub")));
}

void TestKlvPublish::keygenRefusesToReplace_data()
{
    QTest::addColumn<QStringList>("existing");
    QTest::newRow("both") << QStringList{"maker.pub", "maker.key"};
    QTest::newRow("only the public key") << QStringList{"maker.pub"};
    QTest::newRow("only the secret key") << QStringList{"maker.key"};
}

void TestKlvPublish::keygenRefusesToReplace()
{
    QFETCH(QStringList, existing);
    for (const QString &name : existing)
        testsupport::writeFile(path(name), "kept " + name.toUtf8());
    QByteArray output;
    QCOMPARE(tool({"keygen", path("maker")}, &output), 1);
    QVERIFY2(output.contains("exists already"), output.constData());
    for (const QString &name : {QString("maker.pub"), QString("maker.key")}) {
        if (existing.contains(name))
            QCOMPARE(testsupport::readFile(path(name)), "kept " + name.toUtf8());
        else
            QVERIFY2(!QFileInfo::exists(path(name)), qPrintable(name));
    }
}

void TestKlvPublish::releaseWritesTreeAndList()
{
    makeSample();
    QByteArray output;
    QCOMPARE(releaseSample({"--command", "premielijst$premies.csv", "--command", "exec$klvsetup.exe /s"}, &output), 0);
    QCOMPARE(treeFiles(),
             QStringList({"supports/137.zlb", "supports/138.zlb", "supports/klv138/helper.zlb",
                          "supports/klv138/klv.zlb", "supports/klv138/korting%1.zlb", "supports/klv138/premies.zlb",
                          "supports/u1010.zlb", "supports/u1011.zlb", "supports/whatsnew.klv"}));
    const QByteArray bytes = testsupport::readFile(path(kList));
    QCOMPARE(bytes.count('\n'), bytes.count("\r\n"));
    const IniFile list = IniFile::fromBytes(bytes);
    QCOMPARE(list.sections(), QStringList({"KLV138", "SQL138", "CMD138"}));
    // The file in a subfolder is fetched by its bare name's rule, from the same package.
    QCOMPARE(sectionText(list, "KLV138"),
             "helper.dll=138|klv.exe=5.3.0.1|korting%1.txt=138|premies.csv=138|reports\\helper.dll=138");
    QCOMPARE(list.readInteger("SQL138", "VERSIE", 0), 138);
    QCOMPARE(list.readInteger("SQL138", "UPDATE", 0), 1011);
    QCOMPARE(list.readSection("CMD138"), QStringList({"premielijst$premies.csv", "exec$klvsetup.exe /s"}));
    QVERIFY(!list.sectionExists("SIGNED"));
}

void TestKlvPublish::releasePackagesHoldTheFiles_data()
{
    QTest::addColumn<QString>("package");
    QTest::addColumn<QString>("source");
    QTest::newRow("versioned program") << "supports/klv138/klv.zlb"
                                       << "progs/klv.exe";
    QTest::newRow("unversioned library") << "supports/klv138/helper.zlb"
                                         << "progs/helper.dll";
    QTest::newRow("data file") << "supports/klv138/premies.zlb"
                               << "progs/premies.csv";
    QTest::newRow("conversion script") << "supports/138.zlb"
                                       << "scripts/138.sql";
    QTest::newRow("conversion script, upper case") << "supports/137.zlb"
                                                   << "scripts/137.SQL";
    QTest::newRow("update script") << "supports/u1010.zlb"
                                   << "scripts/u1010.sql";
    QTest::newRow("update script, upper case") << "supports/u1011.zlb"
                                               << "scripts/U1011.SQL";
}

void TestKlvPublish::releasePackagesHoldTheFiles()
{
    QFETCH(QString, package);
    QFETCH(QString, source);
    makeSample();
    QCOMPARE(releaseSample(), 0);
    klv::TZLBArchive archive;
    archive.OpenArchive(path("tree/" + package));
    QCOMPARE(archive.GetFileCount(), 1);
    klv::zlb::TZLBFileEntry entry;
    archive.GetFileEntry(0, entry);
    const QByteArray content = testsupport::readFile(path(source));
    QCOMPARE(klv::zlb::decodeText(entry.FileName), QFileInfo(source).fileName());
    QCOMPARE(klv::zlb::decodeText(entry.FilePath), QString());
    QCOMPARE(qint64(entry.Size), qint64(content.size()));
    QCOMPARE(quint32(entry.CRC), klv::zlb::crc32(content));
}

void TestKlvPublish::releaseRules_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("klv");
    QTest::newRow("from the files") << QStringList{} << "5.3.0.1";
    QTest::newRow("numbered with the release") << QStringList{"--numbered", "klv.exe"} << "138";
    QTest::newRow("numbered with a number") << QStringList{"--numbered", "klv.exe=140"} << "140";
    QTest::newRow("forced") << QStringList{"--forced", "klv.exe"} << "t";
    QTest::newRow("forced with a number") << QStringList{"--forced", "klv.exe=7"} << "t7";
    QTest::newRow("name in another case") << QStringList{"--forced", "KLV.EXE"} << "t";
}

void TestKlvPublish::releaseRules()
{
    QFETCH(QStringList, options);
    QFETCH(QString, klv);
    makeSample();
    QByteArray output;
    QCOMPARE(releaseSample(options, &output), 0);
    const IniFile list = readList(path(kList));
    QCOMPARE(list.readString("KLV138", "klv.exe", QString()), klv);
    QCOMPARE(list.readString("KLV138", "helper.dll", QString()), "138");
}

void TestKlvPublish::releaseIntoExistingList()
{
    makeSample();
    makeKeys();
    const QByteArray earlier = "\xEF\xBB\xBF; maker's notes\r\n[KLV137]\r\nklv.exe=5.2.0.1\r\nold.dll=137\r\n[SQL137]\n"
                               "VERSIE=137\r\n";
    const QByteArray customer = "[Klv138]\r\nstale.dll=t\r\n[SQL138]\r\nVERSIE=120\r\n[CMD138]\r\nerasefile$x.txt=\r\n"
                                "[sql138]\r\nVERSIE=999\r\n[LATER]\r\nkept=1\r\n";
    testsupport::writeFile(path(kList), earlier + customer +
                                            "[SHA256]\r\nsupports/klv138/stale.zlb=" + QByteArray(64, 'a') +
                                            " 5\r\n[SIGNED]\r\nserial=41\r\nexpires=2030-01-01\r\n");
    testsupport::writeFile(path(kList + ".sig"), QByteArray(64, 's'));

    QByteArray output;
    QCOMPARE(releaseSample({}, &output), 0);
    const QByteArray bytes = testsupport::readFile(path(kList));
    // Earlier releases stay as they were written, with CR LF line ends.
    QVERIFY2(bytes.startsWith(
                 "\xEF\xBB\xBF; maker's notes\r\n[KLV137]\r\nklv.exe=5.2.0.1\r\nold.dll=137\r\n[SQL137]\r\nVERSIE=137"
                 "\r\n[KLV138]\r\n"),
             bytes.constData());
    QVERIFY2(bytes.endsWith("[LATER]\r\nkept=1\r\n"), bytes.constData());
    const IniFile list = IniFile::fromBytes(bytes);
    QCOMPARE(list.sections(), QStringList({"KLV137", "SQL137", "KLV138", "SQL138", "LATER"}));
    QCOMPARE(list.readInteger("SQL138", "VERSIE", 0), 138);
    QVERIFY(!list.valueExists("KLV138", "stale.dll"));
    QVERIFY(!QFileInfo::exists(path(kList + ".sig")));
    QVERIFY2(output.contains("no longer has 'erasefile$x.txt'"), output.constData());

    // The serial of the removed seal is not lost: the next signing goes on above it.
    testsupport::writeFile(path("tree/supports/klv137/klv.zlb"), "old package");
    testsupport::writeFile(path("tree/supports/klv137/old.zlb"), "old package");
    QCOMPARE(tool({"sign", "--key", path("maker.key"), "--tree", path("tree")}, &output), 0);
    QVERIFY2(output.contains("serial 42"), output.constData());
    QCOMPARE(klv::signing::readSeal(testsupport::readFile(path(kList))).seal->serial, uint64_t(42));
}

void TestKlvPublish::releaseRefuses_data()
{
    // Files to add ("pe:" a program with that FileVersion), options, exit status, what is said.
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("text");
    QTest::newRow("two files, one package")
        << QStringList{"progs/klv.dll"} << QStringList{} << 1 << "would both be packed as klv.zlb";
    QTest::newRow("folder below a subfolder")
        << QStringList{"progs/reports/deep/x.txt"} << QStringList{} << 1 << "nothing deeper";
    QTest::newRow("subfolder file without its twin")
        << QStringList{"progs/reports/only.dll"} << QStringList{} << 1 << "needs the same only.dll at its top";
    QTest::newRow("subfolder twin differs")
        << QStringList{"progs/reports/premies.csv"} << QStringList{} << 1 << "differs from premies.csv";
    QTest::newRow("version text the updater cannot compare")
        << QStringList{"pe:progs/odd.exe=5.3 beta"} << QStringList{} << 1 << "'5.3 beta' is not";
    QTest::newRow("single number as version")
        << QStringList{"pe:progs/odd.exe=7"} << QStringList{} << 1 << "'7' is not";
    QTest::newRow("name with '='") << QStringList{"progs/a=b.txt"} << QStringList{} << 1 << "'='";
    QTest::newRow("name starting with ';'") << QStringList{"progs/;x.txt"} << QStringList{} << 1 << "comment";
    QTest::newRow("script of no kind") << QStringList{"scripts/notes.txt"} << QStringList{} << 1
                                       << "neither <number>.sql";
    QTest::newRow("script with leading zero")
        << QStringList{"scripts/0139.sql"} << QStringList{} << 1 << "without leading zeros";
    QTest::newRow("two scripts of one number")
        << QStringList{"scripts/U1010.SQL"} << QStringList{} << 1 << "two scripts for supports/u1010.zlb";
    QTest::newRow("rule for no file") << QStringList{} << QStringList{"--numbered", "klv.ex"} << 2 << "no such file";
    QTest::newRow("rule with a folder") << QStringList{} << QStringList{"--forced", "reports\\helper.dll"} << 2
                                        << "bare file name";
    QTest::newRow("two rules for one file")
        << QStringList{} << QStringList{"--numbered", "klv.exe", "--forced", "KLV.exe"} << 2 << "more than one rule";
    QTest::newRow("rule number") << QStringList{} << QStringList{"--numbered", "klv.exe=-1"} << 2 << "whole number";
    QTest::newRow("command with '='") << QStringList{} << QStringList{"--command", "query$x.sql a=b"} << 2
                                      << "cut the line";
    QTest::newRow("command without '$'") << QStringList{} << QStringList{"--command", "premielijst"} << 2
                                         << "<command>$<argument>";
    QTest::newRow("unknown command") << QStringList{} << QStringList{"--command", "delete$x"} << 2
                                     << "knows the commands";
    QTest::newRow("command leaving the folder")
        << QStringList{} << QStringList{"--command", "unzip$..\\evil.zlb"} << 2 << "leads out";
    QTest::newRow("command argument too long")
        << QStringList{} << QStringList{"--command", "exec$" + QString(101, 'a')} << 2 << "100 characters";
    QTest::newRow("list the updater never asks for")
        << QStringList{} << QStringList{"--list", "klv.klv"} << 2 << "whatsnew<customer key>.klv";
    QTest::newRow("list outside supports")
        << QStringList{} << QStringList{"--list", "../whatsnew.klv"} << 2 << "--list";
}

void TestKlvPublish::releaseRefuses()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, options);
    QFETCH(int, status);
    QFETCH(QString, text);
#ifdef _WIN32
    if (QByteArray(QTest::currentDataTag()) == "two scripts of one number")
        QSKIP("names that differ only in case are one file on Windows");
#endif
    makeSample();
    for (const QString &file : files) {
        if (file.startsWith("pe:")) {
            const QStringList parts = file.mid(3).split('=');
            QVERIFY(testsupport::makeVersionedExe(path(parts[0]), {{"FileVersion", parts[1]}}));
        } else {
            testsupport::writeFile(path(file), "content of " + file.toUtf8());
        }
    }
    QByteArray output;
    QCOMPARE(releaseSample(options, &output), status);
    QVERIFY2(output.contains(text.toUtf8()), output.constData());
    // Everything is checked before anything is written.
    QCOMPARE(treeFiles(), QStringList());
}

void TestKlvPublish::signThenVerify()
{
    makeSample();
    makeKeys();
    QByteArray output;
    QCOMPARE(releaseSample({"--list", "whatsnew.klv", "--list", "whatsnewK42.klv"}, &output), 0);
    testsupport::writeFile(path("tree/public/autoupdate2.exe"), "the new updater");
    QCOMPARE(tool({"sign", "--key", path("maker.key"), "--tree", path("tree")}, &output), 0);
    QVERIFY2(output.contains("  supports/klv138/korting%1.zlb  "), output.constData());

    const auto publicKey = klv::signing::readPublicKeyText(testsupport::readFile(path("maker.pub")));
    QVERIFY(publicKey);
    const QStringList expected = {
        "supports/klv138/helper.zlb",  "supports/klv138/klv.zlb", "supports/klv138/korting%1.zlb",
        "supports/klv138/premies.zlb", "supports/137.zlb",        "supports/138.zlb",
        "supports/u1010.zlb",          "supports/u1011.zlb",      "public/autoupdate2.exe"};
    for (const QString &list : {QString("tree/supports/whatsnew.klv"), QString("tree/supports/whatsnewK42.klv")}) {
        const QByteArray bytes = testsupport::readFile(path(list));
        const QByteArray signature = testsupport::readFile(path(list + ".sig"));
        QCOMPARE(signature.size(), 64);
        QVERIFY(klv::signing::verify(bytes, signature, *publicKey));
        const auto seal = klv::signing::readSeal(bytes).seal;
        QVERIFY(seal);
        QCOMPARE(seal->serial, uint64_t(1));
        QCOMPARE(seal->expires, QDate::currentDate().addDays(28));
        QCOMPARE(seal->list, QFileInfo(list).fileName());
        QStringList paths;
        for (const auto &file : seal->files) {
            paths << file.path;
            const QByteArray content = testsupport::readFile(path("tree/" + file.path));
            QCOMPARE(qint64(file.length), qint64(content.size()));
            QCOMPARE(file.sha256, QCryptographicHash::hash(content, QCryptographicHash::Sha256));
        }
        QCOMPARE(paths, expected);
    }

    QCOMPARE(tool({"verify", "--key", path("maker.pub"), "--tree", path("tree")}, &output), 0);
    for (const QString &file : expected + QStringList{"supports/whatsnew.klv", "supports/whatsnewK42.klv"})
        QVERIFY2(output.contains(("OK " + file).toUtf8()), output.constData());
    QVERIFY2(!output.contains("FAIL"), output.constData());
    QCOMPARE(tool({"verify", "--key", path("maker.pub"), "--tree", path("tree"), "--list", "whatsnewK42.klv"}, &output),
             0);
    QVERIFY2(!output.contains("OK supports/whatsnew.klv"), output.constData());
}

void TestKlvPublish::signSerialAndExpiry_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("serial");
    QTest::addColumn<QDate>("expires");
    const QDate today = QDate::currentDate();
    QTest::newRow("defaults") << QStringList{} << 2 << today.addDays(28);
    QTest::newRow("given serial") << QStringList{"--serial", "1000"} << 1000 << today.addDays(28);
    QTest::newRow("given date, the furthest")
        << QStringList{"--expires", today.addDays(42).toString(Qt::ISODate)} << 2 << today.addDays(42);
    QTest::newRow("valid for one day") << QStringList{"--valid-days", "1"} << 2 << today.addDays(1);
    QTest::newRow("valid for the longest") << QStringList{"--valid-days", "42"} << 2 << today.addDays(42);
}

void TestKlvPublish::signSerialAndExpiry()
{
    QFETCH(QStringList, options);
    QFETCH(int, serial);
    QFETCH(QDate, expires);
    makeSignedTree(); // serial 1
    QByteArray output;
    QCOMPARE(tool(QStringList{"sign", "--key", path("maker.key"), "--tree", path("tree")} + options, &output), 0);
    const auto seal = klv::signing::readSeal(testsupport::readFile(path(kList))).seal;
    QVERIFY(seal);
    QCOMPARE(seal->serial, uint64_t(serial));
    QCOMPARE(seal->expires, expires);
    QCOMPARE(
        tool({"verify", "--key", path("maker.pub"), "--tree", path("tree"), "--today", expires.toString(Qt::ISODate)},
             &output),
        0);
}

void TestKlvPublish::signRefuses_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("text");
    QTest::newRow("package missing") << "remove supports/klv138/klv.zlb" << QStringList{} << 1
                                     << "names supports/klv138/klv.zlb, which is not in the tree";
    QTest::newRow("database package missing")
        << "remove supports/138.zlb" << QStringList{} << 1 << "names supports/138.zlb";
    QTest::newRow("key leading out") << "key ..\\evil.dll" << QStringList{} << 1 << "leads out";
    QTest::newRow("VERSIE not a number") << "versie x1" << QStringList{} << 1 << "VERSIE=x1 is no number";
    QTest::newRow("lower serial") << "" << QStringList{"--serial", "4"} << 1 << "not above 5";
    QTest::newRow("equal serial") << "" << QStringList{"--serial", "5"} << 1 << "not above 5";
    QTest::newRow("public key for signing") << "" << QStringList{"--key-is-public"} << 1 << "is a public key";
    QTest::newRow("expiry in the past") << "" << QStringList{"--expires", "2001-01-01"} << 2 << "in the past";
    QTest::newRow("two expiries") << "" << QStringList{"--expires", "2099-01-01", "--valid-days", "3"} << 2
                                  << "not both";
    // Updaters refuse a list valid further ahead: such a signature would only fail at the customers.
    QTest::newRow("valid too long") << "" << QStringList{"--valid-days", "43"} << 2 << "from 1 to 42";
    QTest::newRow("expiry too far") << ""
                                    << QStringList{"--expires", QDate::currentDate().addDays(43).toString(Qt::ISODate)}
                                    << 2 << "more than 42 days ahead";
}

void TestKlvPublish::signRefuses()
{
    QFETCH(QString, damage);
    QFETCH(QStringList, options);
    QFETCH(int, status);
    QFETCH(QString, text);
    makeSignedTree();
    QByteArray output;
    QCOMPARE(tool({"sign", "--key", path("maker.key"), "--tree", path("tree"), "--serial", "5"}, &output), 0);
    QByteArray list = testsupport::readFile(path(kList));
    if (damage.startsWith("remove "))
        QVERIFY(QFile::remove(path("tree/" + damage.mid(7))));
    else if (damage.startsWith("key "))
        list.replace("[KLV138]\r\n", "[KLV138]\r\n" + damage.mid(4).toUtf8() + "=t\r\n");
    else if (damage.startsWith("versie "))
        list.replace("VERSIE=138", "VERSIE=" + damage.mid(7).toUtf8());
    testsupport::writeFile(path(kList), list);
    const QByteArray signature = testsupport::readFile(path(kList + ".sig"));
    QString key = path("maker.key");
    if (options.removeAll("--key-is-public") > 0)
        key = path("maker.pub");

    QCOMPARE(tool(QStringList{"sign", "--key", key, "--tree", path("tree")} + options, &output), status);
    QVERIFY2(output.contains(text.toUtf8()), output.constData());
    QCOMPARE(testsupport::readFile(path(kList)), list);
    QCOMPARE(testsupport::readFile(path(kList + ".sig")), signature);
}

void TestKlvPublish::verifyCatches_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("text");
    QTest::newRow("changed list byte") << "list byte"
                                       << "de handtekening klopt niet";
    QTest::newRow("changed package byte") << "package byte"
                                          << "supports/klv138/klv.zlb is geweigerd: de SHA-256 klopt niet";
    QTest::newRow("longer package") << "package longer"
                                    << "het is 1 bytes lang, de pakketlijst zegt";
    QTest::newRow("missing package") << "package missing"
                                     << "supports/klv138/premies.zlb has its line in [SHA256], "
                                        "but the tree lacks it";
    QTest::newRow("missing line") << "line missing"
                                  << "supports/klv138/premies.zlb is geweigerd: de pakketlijst geeft er geen "
                                     "controlegetal voor";
    QTest::newRow("package added after signing") << "package added"
                                                 << "supports/1.zlb is geweigerd: de pakketlijst geeft er geen";
    QTest::newRow("signature missing") << "signature missing"
                                       << "de handtekening ontbreekt";
    QTest::newRow("signature cut") << "signature cut"
                                   << "de handtekening is onvolledig (63 in plaats van 64 bytes)";
    QTest::newRow("other key") << "other key"
                               << "de handtekening klopt niet";
    QTest::newRow("expired") << "expired"
                             << "de lijst is verlopen op";
    QTest::newRow("installation has a higher serial") << "serial file"
                                                      << "volgnummer 1 is lager dan het eerder aanvaarde 7";
    QTest::newRow("signed before names were signed") << "unnamed"
                                                     << "moet hem opnieuw ondertekenen met klvpublish sign";
    QTest::newRow("renamed to another customer's list") << "renamed"
                                                        << "whatsnewK42.klv is geweigerd: de lijst is ondertekend als "
                                                           "de algemene pakketlijst whatsnew.klv";
}

void TestKlvPublish::verifyCatches()
{
    QFETCH(QString, damage);
    QFETCH(QString, text);
    makeSignedTree();
    QStringList args{"verify", "--key", path("maker.pub"), "--tree", path("tree")};
    QByteArray list = testsupport::readFile(path(kList));
    if (damage == "list byte") {
        list.replace("klv.exe=5.3.0.1", "klv.exe=5.3.0.2");
        testsupport::writeFile(path(kList), list);
    } else if (damage == "package byte") {
        QByteArray package = testsupport::readFile(path("tree/supports/klv138/klv.zlb"));
        package[100] = char(package[100] ^ 1);
        testsupport::writeFile(path("tree/supports/klv138/klv.zlb"), package);
    } else if (damage == "package longer") {
        testsupport::writeFile(path("tree/supports/klv138/premies.zlb"), "x");
    } else if (damage == "package missing") {
        QVERIFY(QFile::remove(path("tree/supports/klv138/premies.zlb")));
    } else if (damage == "line missing") {
        const qsizetype at = list.indexOf("supports/klv138/premies.zlb=");
        QVERIFY(at > 0);
        list.remove(at, list.indexOf('\n', at) + 1 - at);
        resign(kList, list);
    } else if (damage == "package added") {
        testsupport::writeFile(path("tree/supports/1.zlb"), "put there after the signing");
    } else if (damage == "signature missing") {
        QVERIFY(QFile::remove(path(kList + ".sig")));
    } else if (damage == "signature cut") {
        testsupport::writeFile(path(kList + ".sig"), testsupport::readFile(path(kList + ".sig")).chopped(1));
    } else if (damage == "other key") {
        QCOMPARE(tool({"keygen", path("other")}), 0);
        args[2] = path("other.pub");
    } else if (damage == "expired") {
        args << "--today" << QDate::currentDate().addDays(91).toString(Qt::ISODate);
    } else if (damage == "unnamed") {
        const qsizetype at = list.indexOf("list=whatsnew.klv\r\n");
        QVERIFY(at > 0);
        resign(kList, list.remove(at, 19));
    } else if (damage == "renamed") {
        QVERIFY(QFile::rename(path(kList), path("tree/supports/whatsnewK42.klv")));
        QVERIFY(QFile::rename(path(kList + ".sig"), path("tree/supports/whatsnewK42.klv.sig")));
    } else if (damage == "serial file") {
        testsupport::writeFile(path("AutoUpdate.serial"), "serial=7\r\n");
        args << "--serial-file" << path("AutoUpdate.serial");
    }
    QByteArray output;
    QCOMPARE(tool(args, &output), 1);
    QVERIFY2(output.contains(text.toUtf8()), output.constData());
    QVERIFY2(output.contains("FAIL"), output.constData());
}

void TestKlvPublish::verifyLeavesSerialFileAlone()
{
    makeSignedTree();
    QByteArray output;
    QCOMPARE(tool({"sign", "--key", path("maker.key"), "--tree", path("tree")}, &output), 0); // serial 2
    testsupport::writeFile(path("AutoUpdate.serial"), "serial=1\r\n");
    const QStringList args{"verify",     "--key",         path("maker.pub"),        "--tree",
                           path("tree"), "--serial-file", path("AutoUpdate.serial")};
    QCOMPARE(tool(args, &output), 0);
    QCOMPARE(testsupport::readFile(path("AutoUpdate.serial")), "serial=1\r\n");
    testsupport::writeFile(path("AutoUpdate.serial"), "serial=one\r\n");
    QCOMPARE(tool(args, &output), 1);
    QVERIFY2(output.contains("is beschadigd"), output.constData());
}

void TestKlvPublish::verifyChecksPatches_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("text");
    QTest::newRow("as made") << "" << 0 << "makes klv.exe from";
    QTest::newRow("without the earlier release") << "no previous" << 1 << "is in no --previous folder";
    QTest::newRow("patch damaged, signed again") << "patch byte" << 1 << "de patch is beschadigd";
    QTest::newRow("line names another result") << "result" << 1 << "the list says it makes another klv.exe";
    QTest::newRow("not a patch line") << "line" << 1 << "not a patch line";
}

// A release with patches from an earlier one: each must make its package's file from that file.
void TestKlvPublish::verifyChecksPatches()
{
    QFETCH(QString, damage);
    QFETCH(int, status);
    QFETCH(QString, text);
    makeSample();
    makeKeys();
    QVERIFY(testsupport::makeVersionedExe(path("old/klv.exe"), {{"FileVersion", "5.3.0.0"}}));
    QByteArray output;
    QCOMPARE(releaseSample({"--previous", path("old")}, &output), 0);
    QVERIFY2(output.contains("patch of klv.exe from"), output.constData());
    const QStringList patches = QDir(path("tree/supports/klv138")).entryList({"*.klvpatch"});
    QCOMPARE(patches.size(), 1);
    const QString patch = path("tree/supports/klv138/") + patches.first();
    QByteArray list = testsupport::readFile(path(kList));
    if (damage == "patch byte") {
        QByteArray bytes = testsupport::readFile(patch);
        bytes[bytes.size() - 3] = char(bytes[bytes.size() - 3] ^ 1);
        testsupport::writeFile(patch, bytes);
    } else if (damage == "result") {
        const IniFile read = IniFile::fromBytes(list);
        const QString value = read.readString("PATCH138", patches.first(), QString());
        const QStringList fields = value.split(u';');
        QCOMPARE(fields.size(), 5);
        list.replace(fields[2].toLatin1(), QByteArray(64, 'a'));
        testsupport::writeFile(path(kList), list);
    }
    QCOMPARE(tool({"sign", "--key", path("maker.key"), "--tree", path("tree")}, &output), 0);
    if (damage == "line") {
        // sign refuses such a line; a list changed by hand after signing and signed again has it.
        list = testsupport::readFile(path(kList));
        list.replace(patches.first().toLatin1() + "=klv.exe;", patches.first().toLatin1() + "=klv.exe;;");
        resign(kList, list);
    }
    QStringList args{"verify", "--key", path("maker.pub"), "--tree", path("tree")};
    if (damage != "no previous")
        args << "--previous" << path("old");
    QCOMPARE(tool(args, &output), status);
    QVERIFY2(output.contains(text.toUtf8()), output.constData());
}

QTEST_GUILESS_MAIN(TestKlvPublish)
#include "tst_klvpublish.moc"
