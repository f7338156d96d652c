// What only Windows can show: the Win32 version functions beside the portable reader, the built
// programs' version resources and icons, the shell starting a program and posting a window message,
// replacing files that are read-only or held open, and names that differ only in case. Built and
// run for Windows only (under Wine here).
#include "archive/ZLBWriter.h"
#include "archive/ZLIBArchive.h"
#include "platform/FileOps.h"
#include "platform/Folders.h"
#include "platform/Shell.h"
#include "verinfo/FileVersionInfo.h"
#include "verinfo/VerInfoRes.h"
#include "verinfo/VerInfoX.h"

#include "TestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <windows.h>

using namespace klv;

namespace {
// The string values a version resource may hold, looked up in every translation it lists.
const char *const kKeys[] = {"CompanyName",     "FileDescription",  "FileVersion",   "InternalName",   "LegalCopyright",
                             "LegalTrademarks", "OriginalFilename", "ProductName",   "ProductVersion", "Comments",
                             "PrivateBuild",    "SpecialBuild",     "IntegerVersion"};

struct Values
{
    bool hasBlock = false;
    QStringList entries; // "lang/key=value"
};

QStringList translations(const void *block)
{
    const void *data = nullptr;
    quint32 length = 0;
    QStringList out;
    if (!verinfo::verQueryValue(block, QStringLiteral("\\VarFileInfo\\Translation"), &data, &length))
        return out;
    const auto *pairs = static_cast<const quint16 *>(data);
    for (quint32 i = 0; i + 1 < length / 2; i += 2)
        out << QStringLiteral("%1%2").arg(pairs[i], 4, 16, QLatin1Char('0')).arg(pairs[i + 1], 4, 16, QLatin1Char('0'));
    return out;
}

QStringList valuesOf(const void *block, const QStringList &langs,
                     bool (*query)(const void *, const QString &, const void **, quint32 *))
{
    QStringList out;
    for (const QString &lang : langs) {
        for (const char *key : kKeys) {
            const void *data = nullptr;
            quint32 length = 0;
            const QString sub = QStringLiteral("\\StringFileInfo\\%1\\%2").arg(lang, QLatin1String(key));
            if (!query(block, sub, &data, &length))
                continue;
            const QByteArray text(static_cast<const char *>(data), qstrnlen(static_cast<const char *>(data), length));
            out << lang + u'/' + QLatin1String(key) + u'=' + QString::fromLocal8Bit(text);
        }
    }
    return out;
}

// The Win32 functions' view of a file.
Values win32Values(const QString &path)
{
    Values v;
    quint32 handle = 0;
    const quint32 size = verinfo::getFileVersionInfoSize(path, &handle);
    if (size == 0)
        return v;
    QByteArray block(size, '\0');
    if (!verinfo::getFileVersionInfo(path, handle, size, block.data()))
        return v;
    v.hasBlock = true;
    v.entries = valuesOf(block.constData(), translations(block.constData()), verinfo::verQueryValue);
    return v;
}

bool portableQuery(const void *block, const QString &sub, const void **data, quint32 *length)
{
    QByteArrayView value;
    if (!verinfo::queryInfoBlock(verinfo::infoBlockView(block), sub, value))
        return false;
    *data = value.data();
    *length = quint32(value.size());
    return true;
}

// The portable reader's view of the same file, read from its bytes.
Values portableValues(const QString &path)
{
    Values v;
    const QByteArray image = testsupport::readFile(path);
    const QByteArrayView resource = verinfo::findVersionResource(image);
    const qsizetype size = verinfo::infoBlockSize(resource);
    if (size <= 0)
        return v;
    QByteArray block(size, '\0');
    if (!verinfo::buildInfoBlock(resource, block.data(), size))
        return v;
    v.hasBlock = true;
    // The translation list through the Win32 query rules on our own block.
    QStringList langs;
    const void *data = nullptr;
    quint32 length = 0;
    if (portableQuery(block.constData(), QStringLiteral("\\VarFileInfo\\Translation"), &data, &length)) {
        const auto *pairs = static_cast<const quint16 *>(data);
        for (quint32 i = 0; i + 1 < length / 2; i += 2)
            langs << QStringLiteral("%1%2")
                         .arg(pairs[i], 4, 16, QLatin1Char('0'))
                         .arg(pairs[i + 1], 4, 16, QLatin1Char('0'));
    }
    v.entries = valuesOf(block.constData(), langs, portableQuery);
    return v;
}

LRESULT CALLBACK recordingProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_USER + 16)
        SetPropW(wnd, L"klv-seen", reinterpret_cast<HANDLE>(1));
    return DefWindowProcW(wnd, msg, wParam, lParam);
}
} // namespace

class TestWin32 : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void versionFunctionsAgree();
    void builtPrograms_data();
    void builtPrograms();
    void shellStartsProgramWithAlias();
    void postMessageReachesWindow();
    void extractionReplacesReadOnlyTarget();
    void targetHeldOpenKeepsOldFile();
    void namesDifferingInCaseAreOneFile();
    void defaultInstallationFolder();
};

// Every string value of real PE files: the test fixtures and the system DLLs of the Wine prefix.
void TestWin32::versionFunctionsAgree()
{
    QTemporaryDir dir;
    QStringList files;
    for (const char *arch : {"pe32", "pe32+"}) {
        const QString path = dir.filePath(QStringLiteral("fixture-%1.exe").arg(QLatin1String(arch)));
        QVERIFY(testsupport::makeVersionedExe(path,
                                              {{"CompanyName", "Kelvora B.V."},
                                               {"FileVersion", "5.2.10.0"},
                                               {"IntegerVersion", "137"},
                                               {"FileDescription", "caf\xE9"}},
                                              QLatin1String(arch)));
        files << path;
    }
    const QString system = QDir::fromNativeSeparators(qEnvironmentVariable("SystemRoot")) + QStringLiteral("/system32");
    QDirIterator it(system, {QStringLiteral("*.dll"), QStringLiteral("*.exe")}, QDir::Files);
    while (it.hasNext())
        files << it.next();
    int withBlock = 0, values = 0;
    QStringList disagreements;
    for (const QString &file : std::as_const(files)) {
        const Values w = win32Values(file);
        const Values p = portableValues(file);
        if (w.hasBlock != p.hasBlock || w.entries != p.entries)
            disagreements << QStringLiteral("%1: Win32 %2 %3, portable %4 %5")
                                 .arg(file)
                                 .arg(w.hasBlock)
                                 .arg(w.entries.join(u'|'))
                                 .arg(p.hasBlock)
                                 .arg(p.entries.join(u'|'));
        withBlock += w.hasBlock ? 1 : 0;
        values += int(w.entries.size());
    }
    qInfo("compared %lld files, %d with a version resource, %d string values, %lld disagreements", qint64(files.size()),
          withBlock, values, qint64(disagreements.size()));
    for (const QString &d : std::as_const(disagreements))
        qWarning("%s", qPrintable(d));
    QVERIFY(files.size() > 50); // the prefix's system folder was read
    QVERIFY(values > 100);
    QVERIFY2(disagreements.isEmpty(), qPrintable(disagreements.value(0)));
}

void TestWin32::builtPrograms_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("originalName");
    QTest::addColumn<bool>("icon");
    QTest::newRow("AutoUpdate.exe") << QStringLiteral(KLV_AUTOUPDATE_EXE) << QStringLiteral("AutoUpdate.exe") << true;
    QTest::newRow("AutoUpdate.com") << QStringLiteral(KLV_AUTOUPDATE_COM) << QStringLiteral("AutoUpdate.com") << true;
    QTest::newRow("zlb.exe") << QStringLiteral(KLV_ZLB_EXE) << QStringLiteral("zlb.exe") << false;
    QTest::newRow("klvpublish.exe") << QStringLiteral(KLV_PUBLISH_EXE) << QStringLiteral("klvpublish.exe") << false;
}

// The programs as built: their version as the updater reads an installed one, in Dutch, and the
// icon of the two that people start.
void TestWin32::builtPrograms()
{
    QFETCH(QString, path);
    QFETCH(QString, originalName);
    QFETCH(bool, icon);
    const QString version = QStringLiteral(KLV_VERSION);
    const TVerInfoRes res(nullptr, path);
    QCOMPARE(res.GetVersionValue(viFileVersion), version);
    QCOMPARE(res.GetVersionValue(viProductVersion), version);
    QCOMPARE(res.GetVersionValue(viOriginalFilename), originalName);
    QCOMPARE(res.GetVersionValue(viCompanyName), QStringLiteral("Kelvora B.V."));
    QVERIFY(res.GetVersionValue(viFileDescription).startsWith(QStringLiteral("Kelvora ")));
    QCOMPARE(res.FileFlags(), QStringList());

    // The numbers that Explorer shows, and the one translation.
    const quint32 size = verinfo::getFileVersionInfoSize(path, nullptr);
    QByteArray block(size, '\0');
    QVERIFY(verinfo::getFileVersionInfo(path, 0, size, block.data()));
    QCOMPARE(translations(block.constData()), QStringList{QStringLiteral("041304e4")});
    const void *data = nullptr;
    quint32 length = 0;
    QVERIFY(verinfo::verQueryValue(block.constData(), QStringLiteral("\\"), &data, &length));
    const auto *fixed = static_cast<const VS_FIXEDFILEINFO *>(data);
    QCOMPARE(QStringLiteral("%1.%2.%3.%4")
                 .arg(HIWORD(fixed->dwFileVersionMS))
                 .arg(LOWORD(fixed->dwFileVersionMS))
                 .arg(HIWORD(fixed->dwFileVersionLS))
                 .arg(LOWORD(fixed->dwFileVersionLS)),
             version);
    QCOMPARE(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
    QCOMPARE(fixed->dwProductVersionLS, fixed->dwFileVersionLS);

    // The icon group and the sizes it offers (a width of 0 stands for 256).
    HMODULE module = LoadLibraryExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()), nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    QVERIFY(module);
    const auto release = qScopeGuard([module] { FreeLibrary(module); });
    HRSRC group = FindResourceW(module, L"IDI_ICON1", MAKEINTRESOURCEW(14)); // RT_GROUP_ICON
    QCOMPARE(group != nullptr, icon);
    if (!icon)
        return;
    const auto *dir = static_cast<const uchar *>(LockResource(LoadResource(module, group)));
    QVERIFY(dir && SizeofResource(module, group) >= 6);
    const int count = dir[4] | dir[5] << 8;
    QCOMPARE(SizeofResource(module, group), DWORD(6 + 14 * count));
    QList<int> widths;
    for (int i = 0; i < count; ++i)
        widths << (dir[6 + 14 * i] == 0 ? 256 : dir[6 + 14 * i]);
    QCOMPARE(widths, (QList<int>{16, 32, 48, 256}));
}

void TestWin32::shellStartsProgramWithAlias()
{
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("Mijn Klv"));
    QVERIFY(QDir().mkpath(folder));
    const QString program = folder + QStringLiteral("/Klv.exe");
    QVERIFY(QFile::copy(QStringLiteral(KLV_ARGS_PROBE), program));
    SystemShell shell;
    const intptr_t result =
        shell.shellExecute(0, QStringLiteral("open"), program, QStringLiteral("KLV_DEMO"), QString(), SW_SHOWNORMAL);
    QVERIFY2(result > 32, qPrintable(QString::number(result)));
    const QString args = folder + QStringLiteral("/args.txt");
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(args) && QFileInfo(args).size() > 0, 20000);
    // The probe writes its command line as text of the code page: the program, then the alias.
    const QByteArray line = testsupport::readFile(args);
    QVERIFY2(line.contains("Mijn Klv") && line.trimmed().endsWith("KLV_DEMO"), line.constData());
    // A program that is not there is reported, not started.
    QVERIFY(shell.shellExecute(0, QStringLiteral("open"), folder + QStringLiteral("/Nope.exe"), QString(), QString(),
                               SW_SHOWNORMAL) <= 32);
}

void TestWin32::postMessageReachesWindow()
{
    WNDCLASSW cls{};
    cls.lpfnWndProc = recordingProc;
    cls.hInstance = GetModuleHandleW(nullptr);
    cls.lpszClassName = L"KlvRecording";
    RegisterClassW(&cls);
    HWND wnd = CreateWindowExW(0, L"KlvRecording", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, cls.hInstance, nullptr);
    QVERIFY(wnd);
    SystemShell shell;
    const auto handle = static_cast<int32_t>(reinterpret_cast<intptr_t>(wnd));
    QVERIFY(shell.isWindow(handle));
    QVERIFY(shell.postMessage(handle, WM_USER + 16, 0, 0));
    QVERIFY(!shell.postMessage(0, WM_USER + 16, 0, 0)); // 0 reaches no window
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&msg);
    QVERIFY(GetPropW(wnd, L"klv-seen") != nullptr);
    DestroyWindow(wnd);
    QVERIFY(!shell.isWindow(handle));
}

void TestWin32::extractionReplacesReadOnlyTarget()
{
    QTemporaryDir dir;
    const QString archive = dir.filePath(QStringLiteral("help.zlb"));
    {
        ZLBWriter writer(archive);
        writer.addData("new help", QStringLiteral("help.dll"));
        writer.finish();
    }
    const QString target = dir.filePath(QStringLiteral("help.dll"));
    testsupport::writeFile(target, "old help");
    QVERIFY(SetFileAttributesW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(target).utf16()),
                               FILE_ATTRIBUTE_READONLY));
    TZLBArchive zlb;
    zlb.setCheckCRC(true);
    zlb.OpenArchive(archive);
    zlb.ExtractArchive(dir.path());
    QCOMPARE(testsupport::readFile(target), QByteArray("new help"));
}

void TestWin32::targetHeldOpenKeepsOldFile()
{
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("klv.exe"));
    testsupport::writeFile(target, "old program");
    const QString source = dir.filePath(QStringLiteral("new.tmp"));
    testsupport::writeFile(source, "new program");
    // Held open without any sharing, as a running program or a scanner may.
    HANDLE held = CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(target).utf16()), GENERIC_READ,
                              0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    QVERIFY(held != INVALID_HANDLE_VALUE);
    QElapsedTimer clock;
    clock.start();
    const QString error = replaceFile(source, target);
    const qint64 waited = clock.elapsed();
    CloseHandle(held);
    QVERIFY2(!error.isEmpty(), "the replace went through a file held open");
    QVERIFY2(waited >= 1000, qPrintable(QString::number(waited))); // it tried again for a while
    QCOMPARE(testsupport::readFile(target), QByteArray("old program"));
    QCOMPARE(testsupport::readFile(source), QByteArray("new program"));
    // Released, the same replace goes through.
    QCOMPARE(replaceFile(source, target), QString());
    QCOMPARE(testsupport::readFile(target), QByteArray("new program"));
}

void TestWin32::namesDifferingInCaseAreOneFile()
{
    QTemporaryDir dir;
    QVERIFY(testsupport::makeVersionedExe(dir.filePath(QStringLiteral("KLV.EXE")), {{"IntegerVersion", "138"}}));
    const Folders folders(dir.path(), dir.path());
    QVERIFY(QFile::exists(folders.inInstallDir(QStringLiteral("klv.exe"))));
    QVERIFY(QFile::exists(folders.inInstallDir(QStringLiteral("Klv.exe"))));
    const TVerInfoRes info(nullptr, folders.inInstallDir(QStringLiteral("klv.exe")));
    QCOMPARE(info.GetVersionValue(viIntegerVersion), QStringLiteral("138"));
    testsupport::writeFile(folders.inInstallDir(QStringLiteral("WeHave.klv")), "a");
    testsupport::writeFile(folders.inInstallDir(QStringLiteral("WEHAVE.KLV")), "b");
    QCOMPARE(QDir(dir.path()).entryList({QStringLiteral("wehave.klv")}, QDir::Files).size(), 1);
    QCOMPARE(testsupport::readFile(folders.inInstallDir(QStringLiteral("wehave.klv"))), QByteArray("b"));
}

void TestWin32::defaultInstallationFolder()
{
    qunsetenv("KLV_INSTALL_DIR");
    const Folders folders = Folders::fromEnvironment();
    QCOMPARE(folders.installDir(), QStringLiteral("C:\\Klv\\"));
    QCOMPARE(folders.inInstallDir(QStringLiteral("WeHave.klv")), QStringLiteral("C:\\Klv\\WeHave.klv"));
}

QTEST_MAIN(TestWin32)
#include "tst_win32.moc"
