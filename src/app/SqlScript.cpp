#include "SqlScript.h"

#include "platform/Convert.h"

namespace klv::sqlscript {

namespace {
constexpr int kPlainPayloadBytes = 3;
constexpr int kScrambledHeaderBytes = 3;

bool isTerminatorLine(const QString &line, Terminator &kind)
{
    if (line == u";")
        kind = Terminator::Semicolon;
    else if (line.compare(u"GO", Qt::CaseInsensitive) == 0)
        kind = Terminator::Go;
    else if (line.compare(u"GOO", Qt::CaseInsensitive) == 0)
        kind = Terminator::Goo;
    else
        return false;
    return true;
}

bool isIgnoredLine(const QString &line)
{
    return line.isEmpty() || line.startsWith(QStringLiteral("--")) ||
           line.compare(u"BEGIN TRANSACTION", Qt::CaseInsensitive) == 0 ||
           line.compare(u"COMMIT WORK", Qt::CaseInsensitive) == 0;
}
} // namespace

QByteArray restore(const QByteArray &file)
{
    if (!file.startsWith('X'))
        return file;
    QByteArray payload = file.mid(kScrambledHeaderBytes);
    const qsizetype length = payload.size();
    for (qsizetype j = kPlainPayloadBytes; j < length; ++j) {
        const auto b = static_cast<unsigned char>(payload[j]);
        if (b >= 0x80)
            continue;
        // 127 is added as often as it takes to make v non-negative, in one step.
        qsizetype v = b + j - length;
        if (v < 0)
            v += ((-v + 126) / 127) * 127;
        payload[j] = static_cast<char>(v);
    }
    return payload;
}

uint16_t requiredVersion(const QByteArray &file)
{
    const qsizetype at = file.startsWith('X') ? kScrambledHeaderBytes : 0;
    const QString text = QString::fromLatin1(file.mid(at, 3));
    const int32_t value = strToIntDef(text, 0);
    return value > 0 ? static_cast<uint16_t>(value) : 0;
}

bool isHeaderLine(const QString &line)
{
    return line.size() == 3 && strToIntDef(line, 0) != 0;
}

QStringList splitLines(const QString &text, bool loneCrEndsLine)
{
    QStringList lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        const bool crlf = c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n';
        if (c != u'\n' && !crlf && !(c == u'\r' && loneCrEndsLine))
            continue;
        lines << text.sliced(start, i - start);
        if (crlf)
            ++i;
        start = i + 1;
    }
    if (start < text.size())
        lines << text.sliced(start);
    return lines;
}

QList<Statement> statements(const QStringList &lines, qsizetype first)
{
    QList<Statement> out;
    Statement current{{}, Terminator::Semicolon};
    bool open = false; // lines seen since the last terminator
    for (qsizetype i = first; i < lines.size(); ++i) {
        const QString line = trimControl(lines[i]);
        Terminator kind;
        if (isTerminatorLine(line, kind)) {
            current.terminator = kind;
            out << current;
            current = Statement{{}, Terminator::Semicolon};
            open = false;
            continue;
        }
        open = true;
        if (!isIgnoredLine(line))
            current.sql << line;
    }
    // A last statement without its terminator line runs as if ";" followed it.
    if (open)
        out << current;
    return out;
}

bool isSelfContained(const QStringList &sql)
{
    QString text = sql.join(u'\n').trimmed();
    if (text.endsWith(u';'))
        text.chop(1);
    // A ';' anywhere else may end a statement (or sit in a text or a function body): not one.
    if (text.trimmed().isEmpty() || text.contains(u';'))
        return false;
    QStringList words;
    QString word;
    for (const QChar c : std::as_const(text)) {
        if (c.isLetterOrNumber() || c == u'_') {
            word += c.toUpper();
        } else if (!word.isEmpty()) {
            words << word;
            word.clear();
        }
    }
    if (!word.isEmpty())
        words << word;
    if (words.isEmpty())
        return false;
    // Words that a transaction block changes or refuses, wherever they stand (also in a text,
    // which only costs the statement its shortcut).
    static const QStringList refused{
        QStringLiteral("CONCURRENTLY"), QStringLiteral("DATABASE"),   QStringLiteral("TABLESPACE"),
        QStringLiteral("SYSTEM"),       QStringLiteral("LOCK"),       QStringLiteral("DECLARE"),
        QStringLiteral("BEGIN"),        QStringLiteral("COMMIT"),     QStringLiteral("ROLLBACK"),
        QStringLiteral("SAVEPOINT"),    QStringLiteral("TRANSACTION")};
    for (const QString &w : std::as_const(words))
        if (refused.contains(w))
            return false;
    static const QStringList plain{QStringLiteral("INSERT"), QStringLiteral("UPDATE"),   QStringLiteral("DELETE"),
                                   QStringLiteral("SELECT"), QStringLiteral("TRUNCATE"), QStringLiteral("GRANT"),
                                   QStringLiteral("REVOKE"), QStringLiteral("COMMENT")};
    if (plain.contains(words.first()))
        return true;
    static const QStringList schema{QStringLiteral("CREATE"), QStringLiteral("ALTER"), QStringLiteral("DROP")};
    if (!schema.contains(words.first()))
        return false;
    static const QStringList prefixes{
        QStringLiteral("OR"),        QStringLiteral("REPLACE"),  QStringLiteral("UNIQUE"),      QStringLiteral("TEMP"),
        QStringLiteral("TEMPORARY"), QStringLiteral("UNLOGGED"), QStringLiteral("MATERIALIZED")};
    static const QStringList objects{
        QStringLiteral("TABLE"),     QStringLiteral("VIEW"),   QStringLiteral("INDEX"),  QStringLiteral("SEQUENCE"),
        QStringLiteral("SCHEMA"),    QStringLiteral("TYPE"),   QStringLiteral("DOMAIN"), QStringLiteral("FUNCTION"),
        QStringLiteral("PROCEDURE"), QStringLiteral("TRIGGER")};
    qsizetype i = 1;
    while (i < words.size() && prefixes.contains(words[i]))
        ++i;
    return i < words.size() && objects.contains(words[i]);
}

} // namespace klv::sqlscript
