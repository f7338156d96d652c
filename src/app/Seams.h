#pragma once

#include "db/Aliases.h"
#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "platform/Folders.h"
#include "platform/ProxyChoice.h"
#include "platform/Shell.h"

#include <QByteArray>
#include <QList>

namespace klv {

// What the window needs from the platform, handed in when it is created: the real ones in main,
// fakes in tests, the unattended ones in a scheduled run.
struct Seams
{
    Dialogs &dialogs;
    Shell &shell;
    Clock &clock;
    Folders folders;
    AliasTable aliases;
    // The update server's base address in its stored, scrambled form.
    QString serverBase;
    // Closing hands over to the main application; an unattended run may say it should not.
    bool startMainProgramOnClose = true;
    // The maker's public keys: with any, package lists and the files they name must be signed.
    QList<QByteArray> publicKeys = {};
    // Certificate authorities (PEM) trusted besides the system's, for an https update server.
    QList<QByteArray> authorities = {};
    // The proxy server for the transfers: the system's settings unless the command line or
    // KLV_PROXY says otherwise.
    ProxyChoice proxy = {};
};

} // namespace klv
