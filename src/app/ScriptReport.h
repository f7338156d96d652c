#pragma once

#include "db/ScriptHistory.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace klv {

class ConsoleOutput;
class TFrmAutoUpdate;

// What support asks for on the telephone: the last script runs, one Dutch line each (script,
// when, how long, statements, outcome), newest first. Times are the computer's own.
QStringList historyLines(const QList<ScriptRunRecord> &runs);

// The scripts a conversion would run now, and where a script that stopped would carry on.
QStringList conversionPlanLines(TFrmAutoUpdate &window);

// `AutoUpdate --history`: prints the last runs; changes nothing.
int runHistory(TFrmAutoUpdate *window, ConsoleOutput &out);

} // namespace klv
