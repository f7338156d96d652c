#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <functional>

class QPushButton;
class QTabWidget;
class QWidget;

namespace klv {

// The window's keyboard as Windows users expect it: Enter presses the focused button, or the
// page's default button when no button has the focus; Escape closes the window when nothing runs;
// the focus starts on the page's default button and never rests on a button that an operation
// disables (a download would otherwise leave it on "Sluiten").
class WindowKeyboard : public QObject
{
public:
    // `busy` tells whether an operation runs; `close` closes the window.
    WindowKeyboard(QWidget &window, QTabWidget &pages, std::function<bool()> busy, std::function<void()> close);

    // The button Enter presses on `page`; drawn as the default.
    void setDefaultButton(QWidget *page, QPushButton *button);
    // Puts the focus on the current page's default button when it is enabled.
    void focusDefault();
    // Called before `disabled` are disabled: the focus leaves them for a place where no key starts
    // anything.
    void moveFocusFrom(const QList<QWidget *> &disabled);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget &FWindow;
    QTabWidget &FPages;
    std::function<bool()> FBusy;
    std::function<void()> FClose;
    QHash<QWidget *, QPointer<QPushButton>> FDefaults;
};

} // namespace klv
