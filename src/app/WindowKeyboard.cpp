#include "WindowKeyboard.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>

namespace klv {

WindowKeyboard::WindowKeyboard(QWidget &window, QTabWidget &pages, std::function<bool()> busy,
                               std::function<void()> close)
    : QObject(&window), FWindow(window), FPages(pages), FBusy(std::move(busy)), FClose(std::move(close))
{
    // Key events that the focused widget leaves alone reach the window's filters on their way up.
    window.installEventFilter(this);
    for (QPushButton *button : window.findChildren<QPushButton *>())
        button->setAutoDefault(true); // Enter presses a focused button, as Space does
}

void WindowKeyboard::setDefaultButton(QWidget *page, QPushButton *button)
{
    FDefaults.insert(page, button);
    button->setDefault(true);
}

void WindowKeyboard::focusDefault()
{
    QWidget *page = FPages.currentWidget();
    if (!page)
        return;
    if (QPushButton *button = FDefaults.value(page); button && button->isEnabled())
        button->setFocus(Qt::OtherFocusReason);
}

void WindowKeyboard::moveFocusFrom(const QList<QWidget *> &disabled)
{
    QWidget *focus = QApplication::focusWidget();
    if (focus && disabled.contains(focus))
        FPages.tabBar()->setFocus(Qt::OtherFocusReason); // switching pages is all a key does there
}

bool WindowKeyboard::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != &FWindow || event->type() != QEvent::KeyPress)
        return QObject::eventFilter(watched, event);
    const auto *key = static_cast<QKeyEvent *>(event);
    if (key->modifiers() & ~Qt::KeypadModifier)
        return false;
    if (key->key() == Qt::Key_Escape && !FBusy()) {
        FClose();
        return true;
    }
    if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
        if (qobject_cast<QLineEdit *>(QApplication::focusWidget()))
            return false; // a password being typed is not a press of the page's button
        QPushButton *button = FDefaults.value(FPages.currentWidget());
        if (button && button->isEnabled() && button->isVisible() && !FBusy())
            button->animateClick();
        return true;
    }
    return false;
}

} // namespace klv
