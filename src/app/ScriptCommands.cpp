// The commands of update scripts: the interpreter of one script line, and the package
// extraction and SQL file commands it calls.
#include "AutoUpdateFrm.h"

#include "PremiumImport.h"
#include "SqlScriptEngine.h"
#include "archive/ZLIBArchive.h"
#include "db/KlvDatabase.h"
#include "db/KvQuery.h"
#include "platform/Ansi.h"
#include "platform/Convert.h"
#include "platform/Exceptions.h"
#include "ui_AutoUpdateFrm.h"

#include <QFile>
#include <QFileInfo>

namespace klv {

namespace {
const QString kScriptError = QStringLiteral("Script-fout: ");
const QString kUnzip = QStringLiteral("Unzip ");
const QString kExecQuery = QStringLiteral("ExecQuery");

// The line rules of SQL files run by the query command; they are not those of the script engine.
bool isQueryTerminator(const QString &line)
{
    return line.startsWith(u';') || line.startsWith(QStringLiteral("go"));
}

bool isQueryLineSkipped(const QString &line)
{
    return line.isEmpty() || line.startsWith(QStringLiteral("--")) ||
           line.contains(QStringLiteral("BEGIN TRANSACTION")) || line.contains(QStringLiteral("COMMIT WORK"));
}

bool isQueryHeader(const QString &line)
{
    return line.size() == 3 && strToIntDef(line, 0) > 0;
}

void eraseFile(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists() || info.isDir())
        return;
    // Clear read-only first; a deletion that fails anyway is not reported.
    QFile::setPermissions(path, info.permissions() | QFile::WriteOwner | QFile::ReadOwner);
    QFile::remove(path);
}
} // namespace

void TFrmAutoUpdate::AddDownloadLog(const QString &line)
{
    ui->Memo1->appendPlainText(line);
    if (OnDownloadLog)
        OnDownloadLog(line);
}

void TFrmAutoUpdate::RunScriptLine(const QString &line)
{
    const std::optional<packagelist::ScriptLine> parsed = packagelist::parseScriptLine(line);
    if (!parsed) {
        AddDownloadLog(kScriptError + line);
        throw EAbort();
    }
    const QString &command = parsed->command;
    processMessages();

    // Compared exactly, in this order; a command that matches none is logged and skipped.
    if (command == u"selfrenew") {
        CheckSelfRenewal(parsed->argument);
    } else if (command == u"unzip") {
        UnzipArchive(parsed->argument, QString());
    } else if (command == u"exec") {
        // Started, not waited for; the shell's result is not examined.
        FSeams.shell.shellExecute(0, QString(), folders().inInstallDir(parsed->argument), QString(), QString(),
                                  Shell::SW_SHOWNORMAL);
    } else if (command == u"erasefile") {
        eraseFile(folders().inUpdaterDir(parsed->argument));
    } else if (command == u"query") {
        ExecQueryFile(parsed->argument);
    } else if (command == u"premielijst") {
        LoadPremiumList(parsed->argument);
    } else if (command == u"forcedupdate") {
        // Accepted; nothing to do.
    } else {
        AddDownloadLog(kScriptError + line);
    }
}

void TFrmAutoUpdate::LoadPremiumList(const QString &fileName)
{
    FPremium->LoadPremiumList(fileName);
}

void TFrmAutoUpdate::UnzipArchive(const QString &name, const QString &subfolder)
{
    const QString archivePath = folders().installDir() + subfolder + name;
    AddDownloadLog(kUnzip + archivePath);
    TZLBArchive archive;
    archive.setCompressionLevel(TZLBArchive::fcMaximum);
    archive.setCheckCRC(true);
    archive.OpenArchive(Folders::resolve(archivePath));
    archive.ExtractArchive(Folders::resolve(folders().installDir() + subfolder));
}

void TFrmAutoUpdate::ExecQueryFile(const QString &name)
{
    AddDownloadLog(kExecQuery);
    const QString text = ansi::decode(readScriptFile(folders().inUpdaterDir(name)));
    const QStringList lines = sqlscript::splitLines(text, false);
    qsizetype i = !lines.isEmpty() && isQueryHeader(lines.first()) ? 1 : 0;
    while (i < lines.size()) {
        QStringList sql;
        // A statement that reaches the end of the file without a terminator runs whole.
        for (; i < lines.size() && !isQueryTerminator(lines[i]); ++i)
            if (!isQueryLineSkipped(lines[i]))
                sql << lines[i];
        ++i; // past the terminator
        if (sql.isEmpty())
            continue;
        processMessages();
        TKvQuery query(*gblKlvDBS);
        query.ParamCheck = false;
        query.SQL = sql;
        ExecInOwnTransaction(query);
    }
}

} // namespace klv
