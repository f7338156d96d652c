#include "PartialDownload.h"

#include "HttpAnswer.h"

#include <QFile>
#include <QNetworkReply>
#include <QRegularExpression>
#include <algorithm>

namespace klv::partial {

// A header value we are willing to store and send back: printable ASCII of a sane length.
bool isPlainValue(const QByteArray &value)
{
    if (value.isEmpty() || value.size() > 256)
        return false;
    return std::all_of(value.begin(), value.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

// The answer's strong entity tag with its quotes, empty when there is none or only a weak one
// (If-Range takes strong ones only). Of merged values (after a redirect) the last is the answer's.
QByteArray strongETag(const QNetworkReply &reply)
{
    const QByteArray value = reply.rawHeader("ETag").trimmed();
    if (value.size() < 2 || !value.endsWith('"'))
        return {};
    const qsizetype open = value.lastIndexOf('"', value.size() - 2);
    if (open < 0)
        return {};
    const QByteArray tag = value.mid(open);
    const QByteArray before = value.left(open).trimmed();
    if (before.endsWith("W/") || before.endsWith("w/") || !isPlainValue(tag))
        return {};
    return tag;
}

// The answer's Last-Modified date as sent. A date holds one comma of its own ("Sun, 06 Nov 1994
// 08:49:37 GMT"); of merged values the last is the answer's.
QByteArray lastModified(const QNetworkReply &reply)
{
    QByteArray value = reply.rawHeader("Last-Modified").trimmed();
    constexpr qsizetype kDateLength = 29;
    if (value.size() > kDateLength && value.left(value.size() - kDateLength).trimmed().endsWith(','))
        value = value.right(kDateLength);
    return isPlainValue(value) ? value : QByteArray();
}

QByteArray Info::text() const
{
    QByteArray out = "length=" + QByteArray::number(length) + "\r\n";
    if (!etag.isEmpty())
        out += "etag=" + etag + "\r\n";
    if (!lastModified.isEmpty())
        out += "last-modified=" + lastModified + "\r\n";
    return out;
}

// The info file, or nothing when it is missing, damaged or does not describe a resumable file.
std::optional<Info> readInfo(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > 4096)
        return std::nullopt;
    Info info;
    for (const QByteArray &raw : file.readAll().split('\n')) {
        const QByteArray line = raw.trimmed();
        const qsizetype equals = line.indexOf('=');
        if (line.isEmpty() || equals <= 0)
            continue;
        const QByteArray key = line.left(equals);
        const QByteArray value = line.mid(equals + 1);
        if (key == "length") {
            bool ok = false;
            info.length = value.toLongLong(&ok);
            if (!ok)
                return std::nullopt;
        } else if (key == "etag" && isPlainValue(value)) {
            info.etag = value;
        } else if (key == "last-modified" && isPlainValue(value)) {
            info.lastModified = value;
        }
    }
    if (!info.resumable())
        return std::nullopt;
    return info;
}

std::optional<ContentRange> contentRange(const QNetworkReply &reply)
{
    static const QRegularExpression pattern(QStringLiteral("^bytes ([0-9]{1,18})-([0-9]{1,18})/([0-9]{1,18})$"));
    const auto match = pattern.match(QString::fromLatin1(reply.rawHeader("Content-Range").trimmed()));
    if (!match.hasMatch())
        return std::nullopt;
    return ContentRange{match.captured(1).toLongLong(), match.captured(2).toLongLong(), match.captured(3).toLongLong()};
}

void remove(const QString &partialPath, const QString &infoPath)
{
    // The info first: a partial without its info is never continued.
    QFile::remove(infoPath);
    QFile::remove(partialPath);
}

QString continuationProblem(const QNetworkReply &reply, const Info &stored, int64_t offset, int64_t partialSize,
                            int64_t wantedLength)
{
    const auto range = contentRange(reply);
    const int64_t length = http::announcedLength(reply);
    if (!range || range->first != offset || range->total != stored.length || range->last != range->total - 1 ||
        (length >= 0 && length != range->last - range->first + 1) || partialSize != offset)
        return QStringLiteral("The server's partial answer does not continue the partial file");
    // Validators are compared where both sides have one.
    if ((!stored.etag.isEmpty() && reply.hasRawHeader("ETag") && strongETag(reply) != stored.etag) ||
        (!stored.lastModified.isEmpty() && reply.hasRawHeader("Last-Modified") &&
         partial::lastModified(reply) != stored.lastModified))
        return QStringLiteral("The file on the server changed since the partial file was fetched");
    if (wantedLength >= 0 && stored.length != wantedLength)
        return QStringLiteral("The partial file belongs to a file of another length");
    return {};
}

} // namespace klv::partial
