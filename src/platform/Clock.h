#pragma once

#include <QDate>
#include <QDateTime>

namespace klv {

// The current date and time; the service password and the date stamps depend on it.
class Clock
{
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const = 0;
    QDate today() const { return now().date(); }
};

class SystemClock : public Clock
{
public:
    QDateTime now() const override { return QDateTime::currentDateTime(); }
};

class FixedClock : public Clock
{
public:
    explicit FixedClock(QDateTime at) : FAt(std::move(at)) {}
    QDateTime now() const override { return FAt; }
    void set(const QDateTime &at) { FAt = at; }

private:
    QDateTime FAt;
};

} // namespace klv
