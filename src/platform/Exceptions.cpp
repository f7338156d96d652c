#include "Exceptions.h"

namespace klv {

Exception::Exception(QString message) : FMessage(std::move(message)), FUtf8(FMessage.toStdString()) {}

EAbort::EAbort() : Exception(QStringLiteral("Operation aborted")) {}

EIdHTTPProtocolException::EIdHTTPProtocolException(int status, QString message)
    : Exception(std::move(message)), FStatus(status)
{
}

QString exceptionClassName(const std::exception &e)
{
    if (const auto *own = dynamic_cast<const Exception *>(&e))
        return own->className();
    return QStringLiteral("Exception");
}

QString exceptionMessage(const std::exception &e)
{
    if (const auto *own = dynamic_cast<const Exception *>(&e))
        return own->message();
    return QString::fromLocal8Bit(e.what());
}

} // namespace klv
