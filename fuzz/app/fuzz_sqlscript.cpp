// SQL script files come from the server's packages: any bytes must restore, split into lines and
// statements without a crash, and a statement said to run safely by the server's own commit must
// be one statement: no ';' inside its text but a last one, and one of the plain kinds.
#include "SqlScript.h"
#include "platform/Ansi.h"

#include <QRegularExpression>

#include <cstdint>
#include <cstdlib>

using namespace klv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray file(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString text = ansi::decode(sqlscript::restore(file));
    const QStringList lines = sqlscript::splitLines(text, true);
    const qsizetype first = !lines.isEmpty() && sqlscript::isHeaderLine(lines.first()) ? 1 : 0;
    static const QStringList kinds{"INSERT", "UPDATE",  "DELETE", "SELECT", "TRUNCATE", "GRANT",
                                   "REVOKE", "COMMENT", "CREATE", "ALTER",  "DROP"};
    for (const sqlscript::Statement &statement : sqlscript::statements(lines, first)) {
        if (!sqlscript::isSelfContained(statement.sql))
            continue;
        QString joined = statement.sql.join(u'\n').trimmed();
        if (joined.endsWith(u';'))
            joined.chop(1);
        if (joined.contains(u';'))
            std::abort();
        const QString head =
            joined.section(QRegularExpression(QStringLiteral("[^\\w]")), 0, 0, QString::SectionSkipEmpty);
        if (!kinds.contains(head.toUpper()))
            std::abort();
    }
    return 0;
}
