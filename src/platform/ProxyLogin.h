#pragma once

#include <QString>
#include <functional>

class QAuthenticator;
class QNetworkProxy;
class QNetworkReply;
class QUrl;

namespace klv {

// The login a proxy server asks of the transfers of one client, and why a request failed at the
// proxy. Qt offers the login the proxy setting carries by itself; after that a login typed
// earlier in the run is offered, then the person is asked (a few times at most). What is typed
// lives in memory for the client's life only.
class ProxyLogin
{
public:
    // Fills in a user name and password for `proxy` (`refused`: the last one was refused); false
    // to give up.
    using Asker = std::function<bool(const QString &proxy, bool refused, QString &user, QString &password)>;

    // A new request: nothing offered for it yet.
    void startRequest();
    // The proxy answered 407: fills `login`, or leaves it empty so that the request fails.
    void answer(const QNetworkProxy &proxy, QAuthenticator &login, const Asker &ask);
    // Why `reply` for `url` failed at the proxy named `proxy`, in Dutch and without a password;
    // empty when it did not (or no proxy was used).
    QString failure(const QNetworkReply &reply, const QString &proxy, const QUrl &url) const;

private:
    QString FUser;
    QString FPassword;
    bool FOffered = false;
    QString FRefusedUser;
    int FAsks = 0;
};

} // namespace klv
