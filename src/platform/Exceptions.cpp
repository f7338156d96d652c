#include "Exceptions.h"

namespace klv {

Exception::Exception(QString message) : FMessage(std::move(message)), FUtf8(FMessage.toStdString()) {}

EAbort::EAbort() : Exception(QStringLiteral("Operation aborted")) {}

EIdHTTPProtocolException::EIdHTTPProtocolException(int status, QString message)
    : Exception(std::move(message)), FStatus(status)
{
}

EDatabaseNotOpened::EDatabaseNotOpened(QString alias, QString dataSource, QString driverText)
    : EDBEngineError(QStringLiteral("Cannot open database alias '%1': %2").arg(alias, driverText)),
      FAlias(std::move(alias)), FDataSource(std::move(dataSource)), FDriverText(std::move(driverText))
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
