#pragma once

#include <QString>

namespace klv {

// What an alias stands for: a Qt SQL driver and where its database is.
struct AliasConfig
{
    QString driver;   // QSQLITE, QPSQL or QODBC
    QString database; // file, database name or ODBC data source name
    QString host;
    int port = -1;
    // How the connection count is asked: "sa_db_info", "postgres" or "single".
    QString dialect;
};

// Aliases come from an INI file (KlvAliases.ini in the installation folder, or the file named by
// KLV_ALIASES): one section per alias with the keys Driver, Database, Host, Port and Dialect.
// An alias the file does not list is the name of an ODBC data source, as on the target systems.
class AliasTable
{
public:
    explicit AliasTable(QString iniPath);
    static AliasTable fromEnvironment(const QString &installDir);

    AliasConfig resolve(const QString &alias) const;
    const QString &path() const { return FPath; }

private:
    QString FPath;
};

} // namespace klv
