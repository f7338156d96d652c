#include "QtDialogs.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

namespace klv {

namespace {
QWidget *owner()
{
    return QApplication::activeWindow();
}

// Converts a filter in the runtime's form ("Description|pattern") to Qt's ("Description (pattern)").
QString qtFilter(const QString &filter)
{
    const QStringList parts = filter.split(u'|');
    QStringList out;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2)
        out << QStringLiteral("%1 (%2)").arg(parts[i], QString(parts[i + 1]).replace(u';', u' '));
    return out.isEmpty() ? filter : out.join(QStringLiteral(";;"));
}
} // namespace

void QtDialogs::message(Kind kind, const QString &text)
{
    QMessageBox box(owner());
    switch (kind) {
    case Kind::Information:
        box.setIcon(QMessageBox::Information);
        box.setWindowTitle(QStringLiteral("Informatie"));
        break;
    case Kind::Warning:
        box.setIcon(QMessageBox::Warning);
        box.setWindowTitle(QStringLiteral("Waarschuwing"));
        break;
    case Kind::Error:
        box.setIcon(QMessageBox::Critical);
        box.setWindowTitle(QStringLiteral("Fout"));
        break;
    case Kind::Confirmation:
        box.setIcon(QMessageBox::Question);
        box.setWindowTitle(QStringLiteral("Bevestigen"));
        break;
    }
    box.setText(text);
    box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box.exec();
}

bool QtDialogs::confirm(const QString &text)
{
    QMessageBox box(owner());
    box.setIcon(QMessageBox::Question);
    box.setWindowTitle(QStringLiteral("Bevestigen"));
    box.setText(text);
    QPushButton *yes = box.addButton(QStringLiteral("Ja"), QMessageBox::YesRole);
    // "Ja" starts something (a conversion, a renewal, another try); Enter and Escape must not.
    QPushButton *no = box.addButton(QStringLiteral("Nee"), QMessageBox::NoRole);
    box.setDefaultButton(no);
    box.setEscapeButton(no);
    box.exec();
    return box.clickedButton() == yes;
}

QString QtDialogs::openFile(const QString &filter, const QString &initialDir)
{
    return QFileDialog::getOpenFileName(owner(), QString(), initialDir, qtFilter(filter));
}

bool QtDialogs::login(const QString &text, QString &user, QString &password)
{
    QDialog dialog(owner());
    dialog.setWindowTitle(QStringLiteral("Aanmelden bij de proxyserver"));
    auto *layout = new QFormLayout(&dialog);
    auto *label = new QLabel(text);
    label->setWordWrap(true);
    layout->addRow(label);
    auto *name = new QLineEdit(user);
    auto *secret = new QLineEdit;
    secret->setEchoMode(QLineEdit::Password);
    layout->addRow(QStringLiteral("&Gebruikersnaam:"), name);
    layout->addRow(QStringLiteral("&Wachtwoord:"), secret);
    auto *buttons = new QDialogButtonBox;
    buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    buttons->addButton(QStringLiteral("Annuleren"), QDialogButtonBox::RejectRole);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addRow(buttons);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    user = name->text();
    password = secret->text();
    return true;
}

} // namespace klv
