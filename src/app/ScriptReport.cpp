#include "ScriptReport.h"

#include "AutoUpdateFrm.h"
#include "SqlScriptEngine.h"
#include "Unattended.h"
#include "platform/Exceptions.h"

#include <QDir>
#include <QFileInfo>

namespace klv {

namespace {
constexpr int kHistoryLines = 30;

QString duration(const ScriptRunRecord &run)
{
    if (!run.ended.isValid())
        return QStringLiteral("niet afgesloten");
    const qint64 seconds = run.started.secsTo(run.ended);
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(seconds);
    return QStringLiteral("%1 min %2 s").arg(seconds / 60).arg(seconds % 60);
}

QString outcomeText(const ScriptRunRecord &run)
{
    if (run.outcome == ScriptHistory::running())
        return QStringLiteral("onderbroken");
    return run.outcome;
}
} // namespace

QStringList historyLines(const QList<ScriptRunRecord> &runs)
{
    QStringList lines;
    for (const ScriptRunRecord &run : runs) {
        QString line =
            QStringLiteral("%1  %2 %3 (release %4): %5, %6 statements")
                .arg(run.started.toLocalTime().toString(QStringLiteral("dd-MM-yyyy HH:mm")), run.kind, run.fileName)
                .arg(run.release)
                .arg(duration(run))
                .arg(run.done);
        if (run.failed > 0)
            line += QStringLiteral(" (%1 mislukt en overgeslagen: %2)").arg(run.failed).arg(run.failedAt);
        line += QStringLiteral(", ") + outcomeText(run);
        if (!run.computer.isEmpty())
            line += QStringLiteral(", op %1").arg(run.computer);
        lines << line;
    }
    return lines;
}

QStringList conversionPlanLines(TFrmAutoUpdate &window)
{
    QStringList lines;
    SqlScriptEngine &engine = window.scripts();
    for (const PlannedScript &script : window.conversionPlan()) {
        const QString path =
            script.conversion ? engine.conversionScriptPath(script.number) : engine.updateScriptPath(script.number);
        const QString name = QFileInfo(path).fileName();
        if (!QFileInfo::exists(path)) {
            lines << QStringLiteral("Conversie: %1 is er (nog) niet").arg(name);
            continue;
        }
        try {
            const ScriptStart start =
                script.conversion ? engine.conversionStart(script.number) : engine.updateStart(script.number);
            if (start.changed)
                lines << QStringLiteral("Conversie: %1 is veranderd sinds het gedeeltelijk werd uitgevoerd en wordt "
                                        "geweigerd")
                             .arg(name);
            else if (start.statement > start.statements)
                lines << QStringLiteral("Conversie: %1 is als uitgevoerd afgevinkt en wordt overgeslagen").arg(name);
            else if (start.statement > 1)
                lines << QStringLiteral("Conversie: %1, gaat verder bij statement %2 van %3")
                             .arg(name)
                             .arg(start.statement)
                             .arg(start.statements);
            else
                lines << QStringLiteral("Conversie: %1, %2 statements").arg(name).arg(start.statements);
        } catch (const std::exception &e) {
            lines << QStringLiteral("Conversie: %1: fout: %2").arg(name, exceptionMessage(e));
        }
    }
    return lines;
}

int runHistory(TFrmAutoUpdate *window, ConsoleOutput &out)
{
    int status = ExitDone;
    try {
        const QList<ScriptRunRecord> runs = window->history().latest(kHistoryLines);
        if (runs.isEmpty())
            out.line(QStringLiteral("Er zijn nog geen scripts uitgevoerd (of de geschiedenis is er niet)."));
        else
            out.line(QStringLiteral("De laatste %1 scripts, de nieuwste eerst:").arg(runs.size()));
        for (const QString &line : historyLines(runs))
            out.line(line);
    } catch (const std::exception &e) {
        out.line(QStringLiteral("Fout: ") + exceptionMessage(e));
        status = ExitFailed;
    }
    // Freed without closing: reading the history starts nothing.
    delete window;
    return status;
}

} // namespace klv
