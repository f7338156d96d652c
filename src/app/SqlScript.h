#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>

// The text rules of SQL script files, free of any database: the scrambled form, the
// prerequisite header and the cutting into statements.
namespace klv::sqlscript {

// A file whose first byte is 'X' is scrambled; anything else is returned whole.
QByteArray restore(const QByteArray &file);
// The database version an SQL update script needs: its first three text bytes (after the 'X'
// and the two unused bytes of a scrambled file) when they read as an integer above 0, else 0.
uint16_t requiredVersion(const QByteArray &file);
// The first line is a prerequisite header when it is exactly three characters long and reads
// as an integer other than 0.
bool isHeaderLine(const QString &line);

// Lines of a text; CR LF and LF end a line, and a lone CR too when `loneCrEndsLine`. A line end
// at the very end adds no empty line.
QStringList splitLines(const QString &text, bool loneCrEndsLine);

enum class Terminator
{
    Semicolon,
    Go,
    Goo
};

struct Statement
{
    QStringList sql;       // trimmed SQL lines; empty for an empty statement
    Terminator terminator; // what ended it; a statement the file ends without counts as ";"
};

// Cuts trimmed lines into statements: ";" "GO" "GOO" lines end one, empty lines, "--" comments
// and "BEGIN TRANSACTION" / "COMMIT WORK" are dropped, everything else is SQL. Empty statements
// are kept so that each runner can apply its own rule to them.
QList<Statement> statements(const QStringList &lines, qsizetype first = 0);

// Whether a statement's text is one plain data or schema change (INSERT, UPDATE, DELETE, SELECT,
// TRUNCATE, GRANT, REVOKE, COMMENT, or CREATE, ALTER, DROP of a table, view, index, sequence,
// schema, type, domain, function, procedure or trigger) that a database server committing every
// statement by itself runs exactly as it runs in a transaction of its own: a single statement (no
// ';' but a last one), nothing that a transaction block changes or refuses (LOCK, DECLARE, SET,
// CONCURRENTLY, DATABASE, TABLESPACE, SYSTEM, transaction control). Anything else says no.
bool isSelfContained(const QStringList &sql);

} // namespace klv::sqlscript
