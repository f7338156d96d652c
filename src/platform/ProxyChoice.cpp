#include "ProxyChoice.h"

#include <QHash>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QUrl>

namespace klv {

namespace {
// The system's settings, asked once per server (a PAC script may send each elsewhere) for the
// life of the manager, that is one run: the question goes to the system's proxy library (on Linux
// on a thread of its own, reading its configuration files each time) and cost a release of many
// small packages a tenth of its time when asked for every file.
class SystemProxies : public QNetworkProxyFactory
{
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override
    {
        const QString key = query.protocolTag() + u'|' + query.peerHostName() + u'|' +
                            QString::number(query.peerPort()) + u'|' + QString::number(int(query.queryType()));
        const QMutexLocker lock(&FMutex); // Qt may ask from its network thread too
        const auto known = FAnswers.constFind(key);
        if (known != FAnswers.cend())
            return *known;
        const QList<QNetworkProxy> answer = systemProxyForQuery(query);
        FAnswers.insert(key, answer);
        return answer;
    }

private:
    QMutex FMutex;
    QHash<QString, QList<QNetworkProxy>> FAnswers;
};
} // namespace

std::optional<ProxyChoice> ProxyChoice::fromUrl(const QString &text, QString &error)
{
    const QString trimmed = text.trimmed();
    // "host:port" alone reads as a scheme "host"; the scheme may be left out.
    const QUrl url(trimmed.contains(QStringLiteral("://")) ? trimmed : QStringLiteral("http://") + trimmed,
                   QUrl::StrictMode);
    const QString usage = QStringLiteral(" Geef de proxy op als http://[gebruiker[:wachtwoord]@]host:poort.");
    if (trimmed.isEmpty() || !url.isValid() || url.host().isEmpty()) {
        error = QStringLiteral("Het proxyadres is niet geldig.") + usage;
        return std::nullopt;
    }
    if (url.scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) != 0) {
        error = QStringLiteral("Alleen een http-proxy kan gebruikt worden, geen %1.").arg(url.scheme()) + usage;
        return std::nullopt;
    }
    if (url.port() <= 0) {
        error = QStringLiteral("Het proxyadres noemt geen poort.") + usage;
        return std::nullopt;
    }
    if ((!url.path().isEmpty() && url.path() != u"/") || url.hasQuery() || url.hasFragment()) {
        error = QStringLiteral("Het proxyadres mag geen pad bevatten.") + usage;
        return std::nullopt;
    }
    ProxyChoice choice;
    choice.source = Source::Given;
    choice.host = url.host();
    choice.port = quint16(url.port());
    choice.user = url.userName(QUrl::FullyDecoded);
    choice.password = url.password(QUrl::FullyDecoded);
    return choice;
}

QString ProxyChoice::name() const
{
    return source == Source::Given ? QStringLiteral("%1:%2").arg(host).arg(port) : QString();
}

void ProxyChoice::applyTo(QNetworkAccessManager &manager) const
{
    switch (source) {
    case Source::System:
        manager.setProxyFactory(new SystemProxies); // the manager owns it
        break;
    case Source::None:
        manager.setProxy(QNetworkProxy::NoProxy);
        break;
    case Source::Given:
        manager.setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, host, port, user, password));
        break;
    }
}

QString proxyName(const QNetworkProxy &proxy)
{
    if (proxy.type() == QNetworkProxy::NoProxy || proxy.type() == QNetworkProxy::DefaultProxy)
        return {};
    return QStringLiteral("%1:%2").arg(proxy.hostName()).arg(proxy.port());
}

QString proxyNameFor(const QNetworkAccessManager &manager, const QUrl &url)
{
    if (QNetworkProxyFactory *factory = manager.proxyFactory()) {
        const QList<QNetworkProxy> proxies = factory->queryProxy(QNetworkProxyQuery(url));
        return proxies.isEmpty() ? QString() : proxyName(proxies.first());
    }
    return proxyName(manager.proxy());
}

} // namespace klv
