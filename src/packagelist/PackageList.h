#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <optional>

// The rules of the package list's "KLV" entries, free of the window: how a key names a file and
// its subfolder, how a value says what is wanted, and which archive carries a file.
namespace klv::packagelist {

struct FileKey
{
    QString subfolder; // empty, or the last folder of the key with its '\'
    QString fileName;
};

// Splits "tools\extra\help.dll" into "extra\" and "help.dll"; earlier folders are dropped and
// only the first 255 characters after each '\' count. '/' separates like '\'.
FileKey splitKey(const QString &key);

// True when the file a key names lies inside the installation folder: a real file name, and no
// subfolder that climbs out of it ("..\evil.dll") or names a drive.
bool staysInside(const FileKey &file);

struct Wanted
{
    enum class Kind
    {
        Forced,
        Numbered,
        Versioned
    };
    Kind kind = Kind::Versioned;
    bool hasNumber = false; // numbered, or forced with a number after the 't'
    int32_t number = 0;     // the wanted number; -1 for a forced entry without one
    QString version;        // the wanted version text of a versioned entry
};

// "t" + optional number: forced; a whole number: numbered; anything else: a version text.
// An absent key is versioned with "0.0.0.0".
Wanted classify(const QString &value, bool present);

// The archive of a file: its name up to and including the last '.', then "zlb".
QString archiveName(const QString &fileName);

QString kindName(Wanted::Kind kind);

// One line of an update script: the command is everything before the first '$', taken as it
// stands; the argument is at most 100 characters after it, then trimmed of every character of
// code 32 or below. A line without '$' is no command at all.
struct ScriptLine
{
    QString command;
    QString argument;
};
std::optional<ScriptLine> parseScriptLine(const QString &line);

// The program an "exec" argument starts and the parameters it passes. The whole argument is
// the program when it names an existing file (a name with blanks); otherwise a name in double
// quotes, or the text up to the first blank, is the program and the rest its parameters.
struct ProgramCall
{
    QString program;
    QString params;
};
ProgramCall splitProgramCall(const QString &argument, const std::function<bool(const QString &name)> &isFile);

} // namespace klv::packagelist
