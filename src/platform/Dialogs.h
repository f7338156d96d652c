#pragma once

#include <QString>
#include <exception>

namespace klv {

// Every message box and the open-file dialog reach the code through this seam: Qt message boxes
// in the program, scripted answers in tests and in unattended runs.
class Dialogs
{
public:
    enum class Kind
    {
        Information,
        Warning,
        Error,
        Confirmation
    };

    virtual ~Dialogs() = default;
    // A box of the given kind with an OK button.
    virtual void message(Kind kind, const QString &text) = 0;
    // A confirmation box with Yes and No; true for Yes.
    virtual bool confirm(const QString &text) = 0;
    // The open-file dialog; an empty result means cancelled.
    virtual QString openFile(const QString &filter, const QString &initialDir) = 0;
    // Asks for a user name and password (a proxy server's login); false when cancelled. Without
    // a person nobody answers.
    virtual bool login(const QString &text, QString &user, QString &password);

    void information(const QString &text) { message(Kind::Information, text); }
    void warning(const QString &text) { message(Kind::Warning, text); }
    void error(const QString &text) { message(Kind::Error, text); }
    // The application's standard error display: an error box with the exception's message.
    void showException(const std::exception &e);
};

} // namespace klv
