#pragma once

#include "AutoUpdateFrm.h"
#include "platform/ScriptedDialogs.h"

#include "RecordingShell.h"

#include <QPointer>
#include <QTemporaryDir>
#include <memory>

// A temporary installation (SQLite database with version 137 / update level 1010, KLV.EXE
// wanting 137, u1010.sql, an alias file with "KLV" and "ODBC_OVT") and the window on it, with
// scripted dialogs, a recording shell and a fixed clock.
class WindowFixture
{
public:
    // Builds the KLV.EXE template once per test program.
    static bool prepareTemplates();

    void setUp();
    void tearDown();
    klv::TFrmAutoUpdate *create(const QStringList &args = {QStringLiteral("0"), QStringLiteral("0"),
                                                           QStringLiteral("KLV")});
    bool sql(const QStringList &statements);
    bool putExe(const QString &integerVersion);
    void putFile(const QString &name, const QByteArray &bytes);
    QStringList column(const QString &select);

    template <class T> T *child(const char *name) const
    {
        return window ? window->findChild<T *>(QLatin1String(name)) : nullptr;
    }
    QString text(const char *label) const;
    // Clicks a button as a user would.
    void click(const char *name);

    std::unique_ptr<QTemporaryDir> dir;
    QString install, updater, ini, db;
    std::unique_ptr<klv::ScriptedDialogs> dialogs;
    std::unique_ptr<RecordingShell> shell;
    std::unique_ptr<klv::FixedClock> clock;
    QPointer<klv::TFrmAutoUpdate> window;
    // The stored (scrambled) form of the update server's address.
    QString serverBase;
    // The maker's keys the window trusts; none: a build that verifies nothing.
    QList<QByteArray> publicKeys;
    // The proxy the window's transfers take; none unless a test sets one.
    klv::ProxyChoice proxy = klv::ProxyChoice::none();
};
