// The hidden service mode: the switches revealed by double-clicks, the daily service password,
// closing with a date stamp, and one-off SQL scripts.
#include "AutoUpdateFrm.h"

#include "platform/Convert.h"
#include "platform/Exceptions.h"
#include "ui_AutoUpdateFrm.h"

namespace klv {

namespace {
const QString kWrongPassword = QStringLiteral("Wachtwoord is niet correct");
const QString kScriptDone = QStringLiteral("Script succesvol be\u00EBindigd");
const QString kOneOffFilter = QStringLiteral("Eenmalige scripts|em*.sql");

// The password of a day is its day number times the factor plus the offset; both are chosen so
// that the value stays within a signed 32-bit integer until well past the year 2200.
constexpr int64_t kPasswordFactor = 7919;
constexpr int64_t kPasswordOffset = 271828;
const QDate kDayZero(1899, 12, 30);
} // namespace

int32_t TFrmAutoUpdate::servicePassword(const QDate &day)
{
    return static_cast<int32_t>(kDayZero.daysTo(day) * kPasswordFactor + kPasswordOffset);
}

bool TFrmAutoUpdate::CheckServicePassword(const QString &text)
{
    try {
        if (strToIntDef(text, 0) == servicePassword(FSeams.clock.today()))
            return true;
    } catch (...) {
        // Treated as a wrong password.
    }
    dialogs().error(kWrongPassword);
    return false;
}

void TFrmAutoUpdate::Panel1DblClick()
{
    ui->EdPassword->setVisible(ui->EdPassword->isHidden());
}

void TFrmAutoUpdate::LblDbSqlDblClick()
{
    ui->SpdBtnLoad->setVisible(ui->SpdBtnLoad->isHidden());
    ui->EdPwd->setVisible(!ui->SpdBtnLoad->isHidden());
}

void TFrmAutoUpdate::BtnCloseClick()
{
    // Both "Sluiten" buttons look at the password box of the "Ophalen" tab.
    if (!ui->EdPassword->isHidden()) {
        if (!CheckServicePassword(ui->EdPassword->text()))
            return;
        StampAutoUpdateDate();
    }
    close();
}

void TFrmAutoUpdate::SpdBtnLoadClick()
{
    if (!CheckServicePassword(ui->EdPwd->text()))
        return;
    const QString fileName = dialogs().openFile(kOneOffFilter, folders().installDir());
    if (fileName.isEmpty())
        return;
    const Operation operation(*this, Operation::Kind::Database);
    if (!startScriptWork())
        return;
    try {
        useDatabaseWorker();
        RunUpdateScript(1, fileName);
    } catch (const std::exception &e) {
        dialogs().information(exceptionMessage(e));
        return;
    }
    dialogs().information(kScriptDone);
    setButtonEnabled(ui->BtnClose2, true);
}

} // namespace klv
