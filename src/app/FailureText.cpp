// The texts for failures, in one place, so that every box and log line says the same.
#include "FailureText.h"

#include "platform/Exceptions.h"
#include "platform/HttpClient.h"

namespace klv {

namespace {
const QString kContact = QStringLiteral(" Lukt het daarna nog niet, neem dan contact op met Kelvora.");
const QString kTryLater = QStringLiteral(" Probeer het over enkele minuten opnieuw.");

const QString kRefused = QStringLiteral("De updateserver weigert de verbinding. De server is misschien tijdelijk "
                                        "buiten gebruik, of een firewall houdt de verbinding tegen.");
const QString kHostUnknown = QStringLiteral("De updateserver is niet gevonden: de naam van de server is op dit "
                                            "netwerk onbekend. Controleer of deze computer verbinding met internet "
                                            "heeft.");
const QString kLineLost = QStringLiteral("De verbinding met de updateserver is verbroken of te traag. Controleer de "
                                         "internetverbinding; wat al binnen is, hoeft niet opnieuw te worden "
                                         "opgehaald.");
const QString kCertificate =
    QStringLiteral("De beveiligde verbinding met de updateserver is geweigerd: het certificaat van de server wordt "
                   "niet vertrouwd. Controleer de datum en de tijd van deze computer.");
const QString kOddAnswer = QStringLiteral("De updateserver gaf een antwoord dat niet klopt.");
const QString kKeyRefused =
    QStringLiteral("De updateserver weigert de klantcode van deze installatie (HTTP %1). Controleer het "
                   "deelnemernummer en de klantcode in Kelvora, of neem contact op met Kelvora.");
const QString kNotOnServer = QStringLiteral("Een bestand van de update staat (nog) niet op de updateserver (HTTP 404). "
                                            "Probeer het later opnieuw; lukt het dan nog niet, neem dan contact op "
                                            "met Kelvora.");
const QString kServerError = QStringLiteral("De updateserver meldt een storing (HTTP %1).");
const QString kRequestRefused =
    QStringLiteral("De updateserver weigert het verzoek (HTTP %1). Neem contact op met Kelvora.");
const QString kDiskFull = QStringLiteral("De schijf is vol: een bestand van de update kon niet worden geschreven. "
                                         "Maak ruimte vrij op de schijf van de installatie en start het ophalen "
                                         "opnieuw.");
const QString kWrongFile =
    QStringLiteral("Het opgehaalde bestand is niet het bestand dat de pakketlijst noemt; het is niet gebruikt.");
const QString kDatabase =
    QStringLiteral("De database kan niet worden geopend (alias %1, gegevensbron %2). Controleer of de databaseserver "
                   "bereikbaar is en of de alias goed is ingesteld. Melding van het stuurprogramma: %3");

FailureText network(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
        return {kRefused + kTryLater + kContact, true};
    case QNetworkReply::HostNotFoundError:
        return {kHostUnknown + kTryLater, true};
    case QNetworkReply::SslHandshakeFailedError:
    case QNetworkReply::InsecureRedirectError:
        return {kCertificate + kContact, false};
    case QNetworkReply::TooManyRedirectsError:
    case QNetworkReply::ProtocolFailure:
    case QNetworkReply::ProtocolUnknownError:
        return {kOddAnswer + kTryLater + kContact, true};
    default:
        return {kLineLost + kTryLater, true};
    }
}

FailureText httpStatus(int status)
{
    if (status == 401 || status == 403)
        return {kKeyRefused.arg(status), false};
    if (status == 404 || status == 410)
        return {kNotOnServer, true}; // the maker may be putting it there
    if (status >= 500)
        return {kServerError.arg(status) + kTryLater + kContact, true};
    return {kRequestRefused.arg(status), false};
}
} // namespace

FailureText explainFailure(const std::exception &e)
{
    if (const auto *net = dynamic_cast<const ENetworkError *>(&e))
        return network(net->error());
    if (const auto *http = dynamic_cast<const EIdHTTPProtocolException *>(&e))
        return httpStatus(http->errorCode());
    if (const auto *io = dynamic_cast<const EInOutError *>(&e); io && io->diskFull())
        return {kDiskFull, false};
    if (dynamic_cast<const EContentMismatch *>(&e))
        return {kWrongFile + kTryLater + kContact, true};
    if (const auto *proxy = dynamic_cast<const EProxyError *>(&e))
        return {proxy->message(), !proxy->aboutLogin()};
    if (const auto *db = dynamic_cast<const EDatabaseNotOpened *>(&e))
        return {kDatabase.arg(db->alias(), db->dataSource(), db->driverText()), true};
    return {exceptionMessage(e), true};
}

} // namespace klv
