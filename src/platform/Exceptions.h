#pragma once

#include <QString>
#include <exception>
#include <string>

namespace klv {

// Mirrors the runtime's exception hierarchy. The error log writes the class name beside the
// message, so every class reports its own name.
class Exception : public std::exception
{
public:
    explicit Exception(QString message);
    const QString &message() const { return FMessage; }
    virtual QString className() const { return QStringLiteral("Exception"); }
    const char *what() const noexcept override { return FUtf8.c_str(); }

private:
    QString FMessage;
    std::string FUtf8;
};

// The silent abort: ends the current operation without a message of its own.
class EAbort : public Exception
{
public:
    EAbort();
    QString className() const override { return QStringLiteral("EAbort"); }
};

class EInOutError : public Exception
{
public:
    // `diskFull`: the write failed because the volume has no room left, which another try does
    // not mend.
    explicit EInOutError(QString message, bool diskFull = false) : Exception(std::move(message)), FDiskFull(diskFull) {}
    QString className() const override { return QStringLiteral("EInOutError"); }
    bool diskFull() const { return FDiskFull; }

private:
    bool FDiskFull;
};

class EConvertError : public Exception
{
public:
    using Exception::Exception;
    QString className() const override { return QStringLiteral("EConvertError"); }
};

// A failure reported by the database layer; the message is the driver's text.
class EDBEngineError : public Exception
{
public:
    using Exception::Exception;
    QString className() const override { return QStringLiteral("EDBEngineError"); }
};

// A database alias that could not be opened: which alias, the data source it names, and the
// driver's own text.
class EDatabaseNotOpened : public EDBEngineError
{
public:
    EDatabaseNotOpened(QString alias, QString dataSource, QString driverText);
    const QString &alias() const { return FAlias; }
    const QString &dataSource() const { return FDataSource; }
    const QString &driverText() const { return FDriverText; }

private:
    QString FAlias;
    QString FDataSource;
    QString FDriverText;
};

// An HTTP answer that is not a success; carries the status code.
class EIdHTTPProtocolException : public Exception
{
public:
    EIdHTTPProtocolException(int status, QString message);
    int errorCode() const { return FStatus; }
    QString className() const override { return QStringLiteral("EIdHTTPProtocolException"); }

private:
    int FStatus;
};

// Class name and message of any exception, also of ones that do not derive from Exception.
QString exceptionClassName(const std::exception &e);
QString exceptionMessage(const std::exception &e);

} // namespace klv
