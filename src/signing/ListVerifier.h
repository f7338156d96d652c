#pragma once

#include "ListSeal.h"
#include "platform/HttpClient.h"

#include <QByteArray>
#include <QDate>
#include <QList>
#include <QString>

#include <optional>

namespace klv::signing {

// Decides whether the updater may trust a package list and the files it names. A build with the
// maker's public keys is strict: a list counts only with a valid signature by one of them, before
// its expiry date, and with a serial not below the highest one this installation accepted before
// (kept in a small state file), so that an old list cannot be replayed. Every file it fetches
// must then have its line in the list's [SHA256] section. A build without keys trusts what the
// server sends, as updaters always did.
class ListVerifier
{
public:
    // `serialPath` is the state file with the highest accepted serial; empty: none is kept (a check
    // of a server tree by the maker).
    ListVerifier(QList<QByteArray> publicKeys, QString serialPath);

    bool isStrict() const { return !FKeys.isEmpty(); }
    static QString serialFileName() { return QStringLiteral("AutoUpdate.serial"); }
    static QString generalListName() { return QStringLiteral("whatsnew.klv"); }
    // Said once per run in a build without keys.
    static QString unverifiedNotice();

    // Checks a fetched list and its signature (nothing when it could not be fetched, with the
    // reason): signed by the maker for `listName` itself, not expired nor valid too far ahead, not
    // older than the kept serial. When it holds, keeps its seal for the files that follow and,
    // unless told not to (a dry run changes nothing), raises the kept serial. Throws Exception with the reason, in
    // Dutch, naming `listName`; the state stays.
    void acceptList(const QString &listName, const QByteArray &list, const std::optional<QByteArray> &signature,
                    const QString &signatureProblem, const QDate &today, bool keepSerial = true);
    bool hasAcceptedList() const { return FSeal.has_value(); }
    void forgetList() { FSeal.reset(); }

    // What the file at `serverPath` (below the base, without leading '/') must be; nothing in a
    // build without keys. Throws when a strict build has no line for it: it is not fetched.
    std::optional<ExpectedFile> expectedFile(const QString &serverPath) const;
    // The message for a fetched file that is not what the list says.
    static QString mismatchMessage(const QString &serverPath, const ExpectedFile &expected,
                                   const EContentMismatch &mismatch);

    // The highest serial accepted before; 0 when none was (or no state file is kept).
    uint64_t keptSerial() const;

private:
    void keepSerial(uint64_t serial) const;

    QList<QByteArray> FKeys;
    QString FSerialPath;
    std::optional<ListSeal> FSeal;
};

} // namespace klv::signing
