#pragma once

#include "Dialogs.h"

#include <QList>
#include <QQueue>
#include <QString>
#include <functional>
#include <utility>

namespace klv {

// Dialogs that never wait for a person: every message is recorded (and handed to an optional
// sink), questions are answered from a queue. A question that nobody queued an answer for
// throws, so that an unexpected question cannot pass unnoticed.
class ScriptedDialogs : public Dialogs
{
public:
    struct Entry
    {
        Kind kind;
        QString text;
        bool operator==(const Entry &) const = default;
    };

    void message(Kind kind, const QString &text) override;
    bool confirm(const QString &text) override;
    QString openFile(const QString &filter, const QString &initialDir) override;
    // Recorded as a confirmation; answered from the queue, cancelled when it is empty.
    bool login(const QString &text, QString &user, QString &password) override;

    void queueLogin(const QString &user, const QString &password) { FLogins.enqueue({user, password}); }
    void queueAnswer(bool yes) { FAnswers.enqueue(yes); }
    void queueFile(const QString &path) { FFiles.enqueue(path); }
    const QList<Entry> &entries() const { return FEntries; }
    QStringList texts(Kind kind) const;
    void clear() { FEntries.clear(); }
    static QString kindName(Kind kind);

    std::function<void(const Entry &)> OnMessage;

private:
    QList<Entry> FEntries;
    QQueue<bool> FAnswers;
    QQueue<QString> FFiles;
    QQueue<std::pair<QString, QString>> FLogins;
};

} // namespace klv
