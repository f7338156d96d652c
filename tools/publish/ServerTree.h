#pragma once

#include "signing/ListSeal.h"

#include "platform/IniFile.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

namespace klv::publish {

// The highest release, database and script number the updater counts to.
constexpr int kMaxNumber = 65535;
// Package lists, key files and signatures are small; anything far larger is not one of them. An
// updater fetches no larger list.
using signing::kMaxListSize;

// A whole file that is known to be small, read at once. Throws Exception when it is missing, larger
// than `limit` or unreadable; `what` says what the file should have been.
QByteArray readSmallFile(const QString &path, qint64 limit, const QString &what);

struct FileFacts
{
    int64_t length = 0;
    QByteArray sha256;
};
// Length and SHA-256 of a file, read in blocks. Throws EInOutError.
FileFacts hashFile(const QString &path);

// A name that can stand in a list and in an archive as it is: one plain component that survives
// Windows-1252 and the list reader (no '=', no blanks around it, no ';' or '[' in front).
// Returns the reason when it cannot, else an empty text.
QString nameProblem(const QString &name);

// "KLV137" -> 137 for prefix "KLV", any case; nothing for other names or numbers written otherwise
// than the updater writes them (leading zeros, above kMaxNumber).
std::optional<int> releaseOfSection(const QString &section, QStringView prefix);

// The update server's files as a folder: server paths below the base ("supports/klv137/klv.zlb")
// are paths below the root.
class ServerTree
{
public:
    explicit ServerTree(const QString &root);

    QString path(const QString &serverPath) const { return FRoot + u'/' + serverPath; }
    QString supportsDir() const { return path(QStringLiteral("supports")); }
    // The package lists in supports/, spelled as the updater asks for them ("whatsnew*.klv"), as
    // server paths, in name order.
    QStringList lists() const;

    // The highest serial this tree's lists were signed with, kept beside them, because a list
    // that gets new release sections loses its own [SIGNED] section until it is signed again.
    uint64_t keptSerial() const;
    void keepSerial(uint64_t serial) const;
    QString serialFile() const { return path(QStringLiteral("klvpublish-serial.txt")); }

private:
    QString FRoot;
};

// A server path that stays inside the tree: '/' separated, relative, no empty, "." or ".."
// component, no '\' or ':'.
bool isTreePath(const QString &serverPath);

// A file that a list can make an updater fetch.
struct Fetchable
{
    QString serverPath;
    bool named = false; // the list names it itself: the tree must have it
};

struct ListReach
{
    QList<Fetchable> files;
    QStringList problems; // keys and values the updater would stop at
};

// Every file that `list` can make an updater fetch, in list order: each KLV<n> entry's package
// in supports/klv<n>/, the database packages supports/<k>.zlb up to the highest VERSIE and the
// script packages supports/u<k>.zlb up to the highest UPDATE of its SQL<n> sections (those values
// themselves named, lower ones only when the tree has them: an installation that far behind is
// rare and the maker may have cleared them away), the patches of its PATCH<n> sections in
// supports/klv<n>/, and the updater's new copy
// public/autoupdate2.exe when the tree has one.
ListReach listReach(const IniFile &list, const ServerTree &tree);

} // namespace klv::publish
