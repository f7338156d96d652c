#include "ScriptedDialogs.h"

#include "Exceptions.h"

#include <tuple>

namespace klv {

void ScriptedDialogs::message(Kind kind, const QString &text)
{
    FEntries.append({kind, text});
    if (OnMessage)
        OnMessage(FEntries.last());
}

bool ScriptedDialogs::confirm(const QString &text)
{
    message(Kind::Confirmation, text);
    if (FAnswers.isEmpty())
        throw Exception(QStringLiteral("Unexpected question: ") + text);
    return FAnswers.dequeue();
}

QString ScriptedDialogs::openFile(const QString &filter, const QString &initialDir)
{
    if (FFiles.isEmpty())
        throw Exception(QStringLiteral("Unexpected file dialog: %1 in %2").arg(filter, initialDir));
    return FFiles.dequeue();
}

bool ScriptedDialogs::login(const QString &text, QString &user, QString &password)
{
    message(Kind::Confirmation, text);
    if (FLogins.isEmpty())
        return false;
    std::tie(user, password) = FLogins.dequeue();
    return true;
}

QStringList ScriptedDialogs::texts(Kind kind) const
{
    QStringList out;
    for (const Entry &e : FEntries)
        if (e.kind == kind)
            out << e.text;
    return out;
}

QString ScriptedDialogs::kindName(Kind kind)
{
    switch (kind) {
    case Kind::Information:
        return QStringLiteral("Informatie");
    case Kind::Warning:
        return QStringLiteral("Waarschuwing");
    case Kind::Error:
        return QStringLiteral("Fout");
    case Kind::Confirmation:
        return QStringLiteral("Bevestigen");
    }
    return {};
}

} // namespace klv
