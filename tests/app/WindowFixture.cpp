#include "WindowFixture.h"

#include "TestDatabases.h"
#include "TestSupport.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QSqlQuery>
#include <QTest>

namespace {
QString exeTemplate()
{
    static QTemporaryDir templates;
    return templates.filePath(QStringLiteral("KLV.EXE"));
}
} // namespace

bool WindowFixture::prepareTemplates()
{
    return testsupport::makeVersionedExe(exeTemplate(), {{QStringLiteral("FileVersion"), QStringLiteral("5.2.0.1")},
                                                         {QStringLiteral("IntegerVersion"), QStringLiteral("137")}});
}

void WindowFixture::setUp()
{
    dir = std::make_unique<QTemporaryDir>();
    proxy = klv::ProxyChoice::none();
    install = dir->filePath(QStringLiteral("Klv")) + u'/';
    updater = install;
    QDir().mkpath(install);
    ini = install + QStringLiteral("KlvAliases.ini");
    db = testsupport::createSqliteDatabase(install + QStringLiteral("klv.db"));
    testsupport::addAlias(ini, QStringLiteral("KLV"), QStringLiteral("QSQLITE"), QStringLiteral("klv.db"));
    testsupport::addAlias(ini, QStringLiteral("ODBC_OVT"), QStringLiteral("QSQLITE"), QStringLiteral("klv.db"));
    QVERIFY2(sql({"insert into SYSPROPS (VERSIENUMMER, IUPDATE_SPP, DAUTOUPDATE_SPP) values (137, 1010, null)",
                  "insert into SYSTEMINFO values ('07', '4711')", "insert into LICENSE values ('KEY1234567')"}),
             "fixture rows");
    QFile::copy(exeTemplate(), install + QStringLiteral("KLV.EXE"));
    putFile(QStringLiteral("u1010.sql"), "select 1\r\n;\r\n");
    QDir::setCurrent(install);
    dialogs = std::make_unique<klv::ScriptedDialogs>();
    shell = std::make_unique<RecordingShell>();
    clock = std::make_unique<klv::FixedClock>(QDateTime(QDate(2026, 12, 8), QTime(12, 0)));
}

void WindowFixture::tearDown()
{
    delete window.data();
    QDir::setCurrent(QDir::tempPath());
    dir.reset();
}

klv::TFrmAutoUpdate *WindowFixture::create(const QStringList &args)
{
    klv::Seams seams{*dialogs, *shell, *clock, klv::Folders(install, updater), klv::AliasTable(ini), serverBase};
    seams.publicKeys = publicKeys;
    seams.proxy = proxy;
    window = new klv::TFrmAutoUpdate(seams, args);
    return window;
}

bool WindowFixture::sql(const QStringList &statements)
{
    bool ok = false;
    {
        QSqlDatabase connection = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("fixture"));
        connection.setDatabaseName(db);
        ok = connection.open() && testsupport::execAll(connection, statements);
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fixture"));
    return ok;
}

QStringList WindowFixture::column(const QString &select)
{
    QStringList out;
    {
        QSqlDatabase connection = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("fixture"));
        connection.setDatabaseName(db);
        connection.open();
        QSqlQuery q(connection);
        q.exec(select);
        while (q.next())
            out << q.value(0).toString();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fixture"));
    return out;
}

bool WindowFixture::putExe(const QString &integerVersion)
{
    const QString path = install + QStringLiteral("KLV.EXE");
    QFile::remove(path);
    return testsupport::makeVersionedExe(path, {{QStringLiteral("IntegerVersion"), integerVersion}});
}

void WindowFixture::putFile(const QString &name, const QByteArray &bytes)
{
    testsupport::writeFile(updater + name, bytes);
}

QString WindowFixture::text(const char *label) const
{
    const QLabel *found = child<QLabel>(label);
    return found ? found->text() : QStringLiteral("<no %1>").arg(QLatin1String(label));
}

void WindowFixture::click(const char *name)
{
    auto *button = child<QAbstractButton>(name);
    QVERIFY2(button, name);
    QVERIFY2(button->isEnabled() && !button->isHidden(), name);
    button->click();
}
