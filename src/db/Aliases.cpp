#include "Aliases.h"

#include "platform/Folders.h"
#include "platform/IniFile.h"

#include <QDir>
#include <QFileInfo>

namespace klv {

AliasTable::AliasTable(QString iniPath) : FPath(std::move(iniPath)) {}

AliasTable AliasTable::fromEnvironment(const QString &installDir)
{
    const QString overridden = qEnvironmentVariable("KLV_ALIASES");
    if (!overridden.isEmpty())
        return AliasTable(overridden);
    return AliasTable(Folders::resolve(installDir + QStringLiteral("KlvAliases.ini")));
}

namespace {
QString defaultDialect(const QString &driver)
{
    if (driver == u"QPSQL")
        return QStringLiteral("postgres");
    if (driver == u"QSQLITE")
        return QStringLiteral("single");
    return QStringLiteral("sa_db_info");
}
} // namespace

AliasConfig AliasTable::resolve(const QString &alias) const
{
    const IniFile ini = IniFile::fromFile(FPath);
    AliasConfig config;
    if (!ini.sectionExists(alias)) {
        config.driver = QStringLiteral("QODBC");
        config.database = alias;
        config.dialect = defaultDialect(config.driver);
        return config;
    }
    config.driver = ini.readString(alias, QStringLiteral("Driver"), QStringLiteral("QODBC")).toUpper();
    config.database = ini.readString(alias, QStringLiteral("Database"), alias);
    config.host = ini.readString(alias, QStringLiteral("Host"), QString());
    config.port = ini.readInteger(alias, QStringLiteral("Port"), -1);
    config.dialect = ini.readString(alias, QStringLiteral("Dialect"), defaultDialect(config.driver));
    // A relative SQLite file lies beside the alias file.
    if (config.driver == u"QSQLITE" && QFileInfo(Folders::nativePath(config.database)).isRelative())
        config.database = Folders::resolve(QFileInfo(FPath).absolutePath() + u'/' + config.database);
    return config;
}

} // namespace klv
