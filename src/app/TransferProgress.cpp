// Progress of a transfer: the gauge on "Ophalen", speed and remaining time on the status bar of
// "Update".
#include "AutoUpdateFrm.h"
#include "platform/HttpClient.h"

#include "platform/Exceptions.h"
#include "ui_AutoUpdateFrm.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QLocale>
#include <QStatusBar>
#include <QTime>
#include <climits>
#include <cmath>

namespace klv {

namespace {
const QString kDownloadSpeed = QStringLiteral(" Download snelheid ");
const QString kUploadSpeed = QStringLiteral(" Upload snelheid ");
const QString kRemaining = QStringLiteral(" Resterende tijd ");
const QString kDone = QStringLiteral("Downloaden is voltooid.");
constexpr qint64 kMsPerDay = 86400000;
constexpr qint64 kRepaintIntervalMs = 50;

// Date and time as days since 30 December 1899 with the time of day as the fraction.
double toDays(const QDateTime &at)
{
    static const QDateTime dayZero(QDate(1899, 12, 30), QTime(0, 0));
    return static_cast<double>(dayZero.msecsTo(at)) / kMsPerDay;
}

// "0.00 KB/s": at least one integer digit, two decimals, no thousands separators.
QString speedText(double speed)
{
    QLocale locale = QLocale::system();
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    return locale.toString(speed, 'f', 2) + QStringLiteral(" KB/s");
}

// "hh:nn:ss" with the system's time separator.
QString timeText(int hours, int minutes, int seconds)
{
    const QString format = QLocale::system().timeFormat(QLocale::LongFormat);
    QChar separator = u':';
    for (QChar c : format) {
        if (!c.isLetter() && !c.isSpace()) {
            separator = c;
            break;
        }
    }
    const auto two = [](int n) { return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0')); };
    return two(hours) + separator + two(minutes) + separator + two(seconds);
}

QElapsedTimer &paintClock()
{
    static QElapsedTimer timer;
    if (!timer.isValid())
        timer.start();
    return timer;
}
} // namespace

void TFrmAutoUpdate::WorkBegin(int64_t workCountMax)
{
    FStartTime = toDays(FSeams.clock.now());
    FWorkTotal = workCountMax;
    if (workCountMax > 0)
        ui->Gauge1->setMaximum(static_cast<int>(std::min<int64_t>(workCountMax, INT_MAX)));
    FSpeed = 0;
    FLastPaintMs = -1;
    // A resumed transfer counts from the bytes already there; its speed is that of the rest.
    FWorkBase = IdHTTP1 ? IdHTTP1->resumedFrom() : 0;
}

void TFrmAutoUpdate::Work(int workMode, int64_t workCount)
{
    // An operation whose window was closed stops at its next transfer event.
    if (FCloseRequested)
        throw EAbort();
    // The elapsed time as a time of day; whole days are dropped.
    const double elapsedDays = toDays(FSeams.clock.now()) - FStartTime;
    qint64 ms = std::llround(elapsedDays * kMsPerDay) % kMsPerDay;
    if (ms < 0)
        ms += kMsPerDay;
    const auto wholeSeconds = static_cast<uint16_t>(ms / 1000); // 16-bit, as the original arithmetic
    const double t = wholeSeconds + static_cast<double>(ms % 1000) / 1000.0;
    if (t > 0)
        FSpeed = static_cast<double>(std::max<int64_t>(0, workCount - FWorkBase)) / 1024.0 / t;

    QString time;
    if (FSpeed > 0) {
        const double left = static_cast<double>(ui->Gauge1->maximum() - workCount) / 1024.0 / FSpeed;
        const auto r = static_cast<uint16_t>(static_cast<int64_t>(left) + 1);
        time = kRemaining + timeText(r / 3600, (r / 60) % 60, r % 60);
    }
    if (workMode == 0 || workMode == 1) {
        FPendingSpeedText = (workMode == 0 ? kDownloadSpeed : kUploadSpeed) + speedText(FSpeed);
        FPendingTimeText = time;
    }
    FPendingPosition = workCount;
    FPaintPending = true;
    if (OnTransferProgress)
        OnTransferProgress(workCount, ui->Gauge1->maximum());

    // A fast transfer would spend its time repainting; the screen follows at a steady pace.
    const qint64 nowMs = paintClock().elapsed();
    if (FLastPaintMs >= 0 && nowMs - FLastPaintMs < kRepaintIntervalMs)
        return;
    FLastPaintMs = nowMs;
    paintProgress();
    processMessages();
}

void TFrmAutoUpdate::paintProgress()
{
    if (!FPaintPending)
        return;
    FPaintPending = false;
    if (!FPendingSpeedText.isEmpty()) {
        statusPanel(ui->StatusBar1, 0)->setText(FPendingSpeedText);
        statusPanel(ui->StatusBar1, 1)->setText(FPendingTimeText);
    }
    ui->Gauge1->setValue(static_cast<int>(std::min<int64_t>(FPendingPosition, ui->Gauge1->maximum())));
    ui->Gauge1->setFormat(FFetchCount.gaugeText(FPendingPosition, FWorkTotal));
}

void TFrmAutoUpdate::WorkEnd()
{
    paintProgress(); // the last speed text stays after the transfer
    FPendingSpeedText.clear();
    statusPanel(ui->StatusBar1, 1)->setText(kDone);
    ui->Gauge1->setValue(0);
    ui->Gauge1->setFormat(QStringLiteral("%p%"));
    FSpeed = 0;
}

} // namespace klv
