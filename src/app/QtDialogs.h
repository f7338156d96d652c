#pragma once

#include "platform/Dialogs.h"

class QWidget;

namespace klv {

// Modal Qt message boxes with Dutch captions and buttons, and the Qt open-file dialog.
class QtDialogs : public Dialogs
{
public:
    void message(Kind kind, const QString &text) override;
    bool confirm(const QString &text) override;
    QString openFile(const QString &filter, const QString &initialDir) override;
    bool login(const QString &text, QString &user, QString &password) override;
};

} // namespace klv
