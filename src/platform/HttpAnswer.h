#pragma once

#include <QNetworkReply>
#include <QString>
#include <QUrl>
#include <cstdint>

// What an answer of the update server says, read the way the client's rules want it: its status,
// its announced length, whether a redirect may be followed, and texts of our own for network
// errors (Qt's may carry the address, which is never shown).
namespace klv::http {

// As many redirects as Qt follows by itself.
constexpr int kMaxRedirects = 50;

bool isSuccess(int status);
bool isRedirect(int status);
int statusOf(const QNetworkReply &reply);
// The announced body length, -1 when there is none or it is not a number. Of a repeated header
// ("145, 11") the last value counts.
int64_t announcedLength(const QNetworkReply &reply);
QString networkErrorText(QNetworkReply::NetworkError error);
// Errors of a line that may work again a moment later.
bool isTransient(QNetworkReply::NetworkError error);
// The redirect target of an answer, when it may be followed: the credentials go with every
// request, so a redirect stays with the server that was asked (the same scheme, host and port).
// Sets `refusal` when it may not.
QUrl redirectTarget(const QNetworkReply &reply, const QUrl &hop, const QUrl &asked, QString &refusal);

} // namespace klv::http
