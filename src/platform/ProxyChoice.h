#pragma once

#include <QString>
#include <optional>

class QNetworkAccessManager;
class QNetworkProxy;
class QUrl;

namespace klv {

// Which proxy server the transfers go through: the system's settings (on Windows those of the
// user, with a PAC script or automatic detection; elsewhere http_proxy, https_proxy and
// no_proxy), none at all, or one given to the updater itself as
// http://[user[:password]@]host:port.
struct ProxyChoice
{
    enum class Source
    {
        System,
        None,
        Given
    };

    Source source = Source::System;
    QString host;
    quint16 port = 0;
    QString user;     // empty: none given (the proxy may still ask; see HttpClient)
    QString password; // kept in memory only, never shown

    // Straight to the server, whatever the system says.
    static ProxyChoice none()
    {
        ProxyChoice choice;
        choice.source = Source::None;
        return choice;
    }
    // The choice of "--proxy URL" or KLV_PROXY. Sets `error` (Dutch, without the password) and
    // returns nothing when the text is not such an address.
    static std::optional<ProxyChoice> fromUrl(const QString &text, QString &error);
    // The proxy as messages name it: host and port, never a password.
    QString name() const;
    // Makes `manager` use this choice.
    void applyTo(QNetworkAccessManager &manager) const;
};

// The proxy `manager` would take for `url`, as messages name it; empty when it goes direct.
QString proxyNameFor(const QNetworkAccessManager &manager, const QUrl &url);
QString proxyName(const QNetworkProxy &proxy);

} // namespace klv
