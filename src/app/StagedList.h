#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace klv {

// A package list and its signature as fetched, kept under temporary names beside the list of the
// last accepted run until the list is accepted: a refused list never replaces that one, and
// nothing of it stays behind.
class StagedList
{
public:
    // `listPath`: where the accepted list lives in the installation folder.
    explicit StagedList(QString listPath);

    QString list() const;
    QString signature() const;

    // The staged list's bytes (at most `limit`, which the fetch already enforced), or the reason.
    QByteArray readList(qint64 limit) const;
    // The staged signature's first `limit` bytes; nothing when none was staged.
    std::optional<QByteArray> readSignature(qint64 limit) const;

    // Puts the staged files in place of the accepted ones; a list staged without a signature
    // leaves none beside it. Throws EInOutError when a file cannot be moved.
    void install() const;
    // Removes whatever was staged.
    void discard() const;

private:
    QString FListPath;
};

} // namespace klv
