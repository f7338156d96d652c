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
#include <algorithm>

namespace klv {

using packagelist::ProgramCall;
using packagelist::splitProgramCall;

namespace {
const QString kScriptError = QStringLiteral("Script-fout: ");
const QString kUnzip = QStringLiteral("Unzip ");
const QString kExecQuery = QStringLiteral("ExecQuery");
const QString kOutsideInstall = QStringLiteral(" (buiten de installatiemap)");
const QString kOutsideUpdater = QStringLiteral(" (buiten de map van AutoUpdate)");

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

bool isBlank(const QString &line)
{
    return line.trimmed().isEmpty();
}

// What a file may carry after its last statement without meaning SQL: blank lines and an
// upper-case "GO" (a terminator of the script engine, not of this command).
bool isTrailerLine(const QString &line)
{
    return isBlank(line) || line.trimmed().compare(u"GO", Qt::CaseInsensitive) == 0;
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
    if (FCloseRequested)
        throw EAbort(); // the window was closed meanwhile: no command starts after that

    // A name that leads out of its folder stops the run: the list is not what the maker wrote.
    const auto inside = [&](const QString &name, const QString &why) {
        if (!Folders::staysInside(name))
            scriptFailure(kScriptError + line + why);
    };
    const QString &argument = parsed->argument;
    // Compared exactly, in this order; a command that matches none is logged and skipped.
    if (command == u"selfrenew") {
        CheckSelfRenewal(argument);
    } else if (command == u"unzip") {
        inside(argument, kOutsideInstall);
        UnzipArchive(argument, QString());
    } else if (command == u"exec") {
        execProgram(line, argument);
    } else if (command == u"erasefile") {
        inside(argument, kOutsideUpdater);
        eraseFile(folders().inUpdaterDir(argument));
    } else if (command == u"query") {
        inside(argument, kOutsideUpdater);
        ExecQueryFile(argument);
    } else if (command == u"premielijst") {
        inside(argument, kOutsideInstall);
        LoadPremiumList(argument);
    } else if (command == u"forcedupdate") {
        // Accepted; nothing to do.
    } else {
        AddDownloadLog(kScriptError + line);
    }
}

// Started, not waited for. A program that cannot be started stops the run: what follows in
// the list may depend on it.
void TFrmAutoUpdate::execProgram(const QString &line, const QString &argument)
{
    const ProgramCall call = splitProgramCall(argument, [this](const QString &name) {
        return Folders::staysInside(name) && QFileInfo(Folders::resolve(folders().inInstallDir(name))).isFile();
    });
    if (!Folders::staysInside(call.program))
        scriptFailure(kScriptError + line + kOutsideInstall);
    const intptr_t result = FSeams.shell.shellExecute(0, QString(), folders().inInstallDir(call.program), call.params,
                                                      QString(), Shell::SW_SHOWNORMAL);
    if (result > 32)
        return;
    scriptFailure(kScriptError + line + QStringLiteral(" (") + shellExecuteErrorText(result) + u')');
}

void TFrmAutoUpdate::scriptFailure(const QString &text)
{
    reportFailure(text);
    throw Exception(text);
}

// A list that could not be imported was rolled back whole; the run stops so that it does not
// end as if it had been imported.
void TFrmAutoUpdate::LoadPremiumList(const QString &fileName)
{
    const QString failure = FPremium->LoadPremiumList(fileName);
    if (failure.isEmpty())
        return;
    logErrorQuietly(failure); // the download log holds the line already
    throw Exception(failure);
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
    const QByteArray bytes = readScriptFile(folders().inUpdaterDir(name));
    const QStringList lines = sqlscript::splitLines(ansi::decode(bytes), false);
    qsizetype i = !lines.isEmpty() && isQueryHeader(lines.first()) ? 1 : 0;
    QList<sqlscript::Statement> statements;
    while (i < lines.size()) {
        QStringList sql;
        // A statement that reaches the end of the file without a terminator runs whole, without
        // the trailer lines that end it.
        for (; i < lines.size() && !isQueryTerminator(lines[i]); ++i)
            if (!isQueryLineSkipped(lines[i]))
                sql << lines[i];
        if (i >= lines.size())
            while (!sql.isEmpty() && isTrailerLine(sql.last()))
                sql.removeLast();
        ++i; // past the terminator
        // Blank lines alone are no statement; sent to the database they fail.
        if (std::all_of(sql.cbegin(), sql.cend(), isBlank))
            continue;
        // Each in a transaction of its own; the first that fails ends the file.
        statements.append({sql, sqlscript::Terminator::Semicolon});
    }
    useDatabaseWorker();
    FScripts->runQueryFile(name, bytes, statements);
}

} // namespace klv
