#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>

class QNetworkReply;

// What a cut download leaves beside its destination so that the next attempt can ask for the rest:
// the partial file and a small info file with the whole file's length and the validators the
// server sent with it. Everything read back from the server or from disk is checked here.
namespace klv::partial {

// A header value we are willing to store and send back: printable ASCII of a sane length.
bool isPlainValue(const QByteArray &value);

// The answer's strong entity tag with its quotes, empty when there is none or only a weak one
// (If-Range takes strong ones only).
QByteArray strongETag(const QNetworkReply &reply);
// The answer's Last-Modified date as sent, empty when there is none or it is not plain.
QByteArray lastModified(const QNetworkReply &reply);

struct Info
{
    int64_t length = -1;
    QByteArray etag;
    QByteArray lastModified;

    bool resumable() const { return length > 0 && (!etag.isEmpty() || !lastModified.isEmpty()); }
    QByteArray validator() const { return etag.isEmpty() ? lastModified : etag; }
    QByteArray text() const;
};

// The info file, or nothing when it is missing, damaged or does not describe a resumable file.
std::optional<Info> readInfo(const QString &path);

// "bytes <first>-<last>/<total>" exactly, or nothing.
struct ContentRange
{
    int64_t first;
    int64_t last;
    int64_t total;
};
std::optional<ContentRange> contentRange(const QNetworkReply &reply);

// Why a partial answer (206) does not continue the partial file of `partialSize` bytes described by
// `stored` when `offset` bytes were asked to be skipped; `wantedLength` is the length the caller
// expects (-1: any). Empty when it does continue it.
QString continuationProblem(const QNetworkReply &reply, const Info &stored, int64_t offset, int64_t partialSize,
                            int64_t wantedLength);

// Removes both files, the info first: a partial without its info is never continued.
void remove(const QString &partialPath, const QString &infoPath);

} // namespace klv::partial
