#include "PackageList.h"

#include "platform/Convert.h"
#include "platform/Folders.h"

#include <QStringList>

namespace klv::packagelist {

namespace {
constexpr qsizetype kMaxSegment = 255;
constexpr qsizetype kMaxArgument = 100;
} // namespace

std::optional<ScriptLine> parseScriptLine(const QString &line)
{
    const qsizetype dollar = line.indexOf(u'$');
    if (dollar < 0)
        return std::nullopt;
    return ScriptLine{line.first(dollar), trimControl(line.mid(dollar + 1, kMaxArgument))};
}

ProgramCall splitProgramCall(const QString &argument, const std::function<bool(const QString &name)> &isFile)
{
    if (argument.startsWith(u'"')) {
        const qsizetype close = argument.indexOf(u'"', 1);
        if (close > 0)
            return {argument.sliced(1, close - 1), argument.sliced(close + 1).trimmed()};
    }
    const qsizetype blank = argument.indexOf(u' ');
    if (blank < 0 || isFile(argument))
        return {argument, QString()};
    return {argument.first(blank), argument.sliced(blank + 1).trimmed()};
}

FileKey splitKey(const QString &key)
{
    // '/' separates as well: Windows takes it for a folder separator.
    QString folded = key;
    folded.replace(u'/', u'\\');
    const QStringList segments = folded.split(u'\\');
    FileKey out;
    out.fileName = segments.last().left(segments.size() > 1 ? kMaxSegment : key.size());
    if (segments.size() > 1)
        out.subfolder = segments[segments.size() - 2].left(kMaxSegment) + u'\\';
    return out;
}

bool staysInside(const FileKey &file)
{
    const QString bare = file.fileName.trimmed();
    return !bare.isEmpty() && bare != u"." && Folders::staysInside(file.fileName) &&
           Folders::staysInside(file.subfolder + file.fileName);
}

Wanted classify(const QString &value, bool present)
{
    Wanted wanted;
    if (!present) {
        wanted.version = QStringLiteral("0.0.0.0");
        return wanted;
    }
    int32_t number = 0;
    if (value.startsWith(u't')) {
        wanted.kind = Wanted::Kind::Forced;
        wanted.hasNumber = tryStrToInt(value.mid(1), number);
        wanted.number = wanted.hasNumber ? number : -1;
    } else if (tryStrToInt(value, number)) {
        wanted.kind = Wanted::Kind::Numbered;
        wanted.hasNumber = true;
        wanted.number = number;
    } else {
        wanted.version = value;
    }
    return wanted;
}

QString archiveName(const QString &fileName)
{
    const qsizetype dot = fileName.lastIndexOf(u'.');
    return fileName.left(dot + 1) + QStringLiteral("zlb");
}

QString kindName(Wanted::Kind kind)
{
    switch (kind) {
    case Wanted::Kind::Forced:
        return QStringLiteral("forced");
    case Wanted::Kind::Numbered:
        return QStringLiteral("numbered");
    case Wanted::Kind::Versioned:
        return QStringLiteral("versioned");
    }
    return {};
}

} // namespace klv::packagelist
