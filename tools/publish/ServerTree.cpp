#include "ServerTree.h"

#include "archive/ZLBFormat.h"
#include "packagelist/PackageList.h"
#include "packagelist/PatchSection.h"
#include "platform/Ansi.h"
#include "platform/Convert.h"
#include "platform/Exceptions.h"
#include "platform/FileOps.h"
#include "platform/Sha256.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

namespace klv::publish {

QByteArray readSmallFile(const QString &path, qint64 limit, const QString &what)
{
    const QFileInfo info(path);
    if (!info.exists())
        throw Exception(QStringLiteral("%1 does not exist (%2)").arg(path, what));
    if (!info.isFile())
        throw Exception(QStringLiteral("%1 is not a file (%2)").arg(path, what));
    if (info.size() > limit)
        throw Exception(
            QStringLiteral("%1 has %2 bytes, too many for %3").arg(path, QString::number(info.size()), what));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw EInOutError(QStringLiteral("Cannot read %1: %2").arg(path, file.errorString()));
    const QByteArray bytes = file.read(limit + 1);
    if (bytes.size() > limit)
        throw Exception(QStringLiteral("%1 is too large for %2").arg(path, what));
    return bytes;
}

FileFacts hashFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw EInOutError(QStringLiteral("Cannot read %1: %2").arg(path, file.errorString()));
    Sha256 hasher;
    QByteArray block(1024 * 1024, Qt::Uninitialized);
    FileFacts facts;
    for (;;) {
        const qint64 got = file.read(block.data(), block.size());
        if (got < 0)
            throw EInOutError(QStringLiteral("Cannot read %1: %2").arg(path, file.errorString()));
        if (got == 0)
            break;
        hasher.add(block.constData(), size_t(got));
        facts.length += got;
    }
    facts.sha256 = hasher.result();
    return facts;
}

QString nameProblem(const QString &name)
{
    if (name.isEmpty())
        return QStringLiteral("the name is empty");
    if (name.size() > 255)
        return QStringLiteral("the name is longer than 255 characters");
    if (name.trimmed() != name)
        return QStringLiteral("the list reader drops the blanks around it");
    if (name.contains(u'='))
        return QStringLiteral("the list reader takes its '=' for the end of the name");
    if (name.startsWith(u';') || name.startsWith(u'['))
        return QStringLiteral("the list reader takes a line starting with ';' or '[' for a comment or a section");
    if (ansi::decode(ansi::encode(name)) != name)
        return QStringLiteral("it has characters that Windows-1252 cannot hold");
    if (name.contains(u'/') || name.contains(u'\\') || !zlb::isSafeFileName(name))
        return QStringLiteral("the updater does not extract a file of that name");
    return {};
}

std::optional<int> releaseOfSection(const QString &section, QStringView prefix)
{
    if (!section.startsWith(prefix, Qt::CaseInsensitive))
        return std::nullopt;
    const QStringView digits = QStringView(section).sliced(prefix.size());
    if (digits.isEmpty() || digits.size() > 5 || (digits.size() > 1 && digits.front() == u'0'))
        return std::nullopt;
    int value = 0;
    for (const QChar c : digits) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + (c.unicode() - u'0');
    }
    return value <= kMaxNumber ? std::optional<int>(value) : std::nullopt;
}

ServerTree::ServerTree(const QString &root) : FRoot(QDir::cleanPath(QDir(root).absolutePath())) {}

QStringList ServerTree::lists() const
{
    QStringList out;
    const QDir supports(supportsDir());
    for (const QString &name : supports.entryList({QStringLiteral("whatsnew*.klv")},
                                                  QDir::Files | QDir::Hidden | QDir::CaseSensitive, QDir::Name))
        out << QStringLiteral("supports/") + name;
    return out;
}

uint64_t ServerTree::keptSerial() const
{
    if (!QFileInfo::exists(serialFile()))
        return 0;
    const QByteArray text = readSmallFile(serialFile(), 1024, QStringLiteral("the last serial")).trimmed();
    const auto damaged = [&] {
        return Exception(
            QStringLiteral("%1 is damaged (it should read serial=<number>); give --serial").arg(serialFile()));
    };
    if (!text.startsWith("serial=") || text.size() > 7 + 18 || text.size() == 7)
        throw damaged();
    uint64_t serial = 0;
    for (const char c : text.mid(7)) {
        if (c < '0' || c > '9')
            throw damaged();
        serial = serial * 10 + uint64_t(c - '0');
    }
    return serial;
}

void ServerTree::keepSerial(uint64_t serial) const
{
    writeFileAtomically(serialFile(), "serial=" + QByteArray::number(qulonglong(serial)) + "\r\n");
}

bool isTreePath(const QString &serverPath)
{
    if (serverPath.isEmpty() || serverPath.size() > 1024)
        return false;
    for (const QString &part : serverPath.split(u'/')) {
        if (part.isEmpty() || part == u"." || part == u".." || part.contains(u'\\') || part.contains(u':'))
            return false;
        for (const QChar c : part)
            if (c.unicode() < 0x20 || c.unicode() == 0x7f)
                return false;
    }
    return true;
}

ListReach listReach(const IniFile &list, const ServerTree &tree)
{
    ListReach reach;
    QHash<QString, qsizetype> seen; // folded path -> index: the server's names match as the list's do
    const auto add = [&](const QString &serverPath, bool named) {
        const QString folded = serverPath.toCaseFolded();
        if (const auto it = seen.constFind(folded); it != seen.constEnd()) {
            reach.files[*it].named = reach.files[*it].named || named;
            return;
        }
        seen.insert(folded, reach.files.size());
        reach.files.append({serverPath, named});
    };

    QSet<QString> sections;  // the first of sections of one name counts, as in the updater
    int highest[2] = {0, 0}; // database, script packages
    const QString kinds[2] = {QStringLiteral("VERSIE"), QStringLiteral("UPDATE")};
    const QString prefixes[2] = {QString(), QStringLiteral("u")};
    QList<QPair<int, int>> namedNumbers; // kind, number
    for (const QString &section : list.sections()) {
        if (sections.contains(section.toCaseFolded()))
            continue;
        sections.insert(section.toCaseFolded());
        if (const auto release = releaseOfSection(section, u"KLV")) {
            for (const QString &key : list.readSection(section)) {
                const packagelist::FileKey file = packagelist::splitKey(key);
                const QString serverPath = QStringLiteral("supports/klv%1/%2")
                                               .arg(QString::number(*release), packagelist::archiveName(file.fileName));
                if (!packagelist::staysInside(file) || !isTreePath(serverPath))
                    reach.problems << QStringLiteral("[%1] '%2': the updater refuses a key that names no file or "
                                                     "leads out of the installation folder")
                                          .arg(section, key);
                else
                    add(serverPath, true);
            }
        } else if (const auto patched = releaseOfSection(section, u"PATCH")) {
            const QString number = QString::number(*patched);
            const packagelist::PatchLines patches = packagelist::readPatches(list, number);
            for (const QString &line : patches.problems)
                reach.problems << QStringLiteral("%1: not a patch line (<name>.klvpatch=<file>;<SHA-256 of the "
                                                 "earlier file>;<SHA-256 of the new one>;<its length>); the updater "
                                                 "passes it over")
                                      .arg(line);
            for (const packagelist::PatchLine &patch : patches.lines)
                add(QStringLiteral("supports/klv%1/%2").arg(number, patch.name), true);
        } else if (releaseOfSection(section, u"SQL")) {
            for (int kind = 0; kind < 2; ++kind) {
                if (!list.valueExists(section, kinds[kind]))
                    continue;
                const QString text = list.readString(section, kinds[kind], QString());
                int32_t number = 0;
                if (!tryStrToInt(text, number))
                    reach.problems << QStringLiteral("[%1] %2=%3 is no number; the updater reads it as 0")
                                          .arg(section, kinds[kind], text);
                else if (number > kMaxNumber)
                    reach.problems << QStringLiteral("[%1] %2=%3 is above %4, the highest package the updater "
                                                     "fetches")
                                          .arg(section, kinds[kind], text, QString::number(kMaxNumber));
                else if (number > 0) {
                    namedNumbers.append({kind, number});
                    highest[kind] = std::max(highest[kind], number);
                }
            }
        }
    }
    for (int kind = 0; kind < 2; ++kind) {
        for (int k = 1; k <= highest[kind]; ++k) {
            const QString serverPath = QStringLiteral("supports/%1%2.zlb").arg(prefixes[kind]).arg(k);
            const bool named = namedNumbers.contains({kind, k});
            if (named || QFileInfo::exists(tree.path(serverPath)))
                add(serverPath, named);
        }
    }
    const QString newUpdater = QStringLiteral("public/autoupdate2.exe");
    if (QFileInfo::exists(tree.path(newUpdater)))
        add(newUpdater, false);
    return reach;
}

} // namespace klv::publish
