#include "ListEditor.h"

#include "platform/Ansi.h"
#include "signing/ListSeal.h"

#include <optional>

namespace klv::publish {

namespace {

// The name of a section header as the list reader sees it, or nothing for any other line.
std::optional<QString> headerName(QByteArrayView content)
{
    const QString line = ansi::decode(content).trimmed();
    if (line.startsWith(u';') || line.size() < 2 || !line.startsWith(u'[') || !line.endsWith(u']'))
        return std::nullopt;
    return line.sliced(1, line.size() - 2).trimmed();
}

} // namespace

QByteArray withReleaseSections(QByteArrayView list, int release, const QString &sections)
{
    const QString number = QString::number(release);
    const auto isRelease = [&](const QString &name) {
        for (const char *prefix : {"KLV", "SQL", "CMD", "PATCH"})
            if (name.compare(QLatin1String(prefix) + number, Qt::CaseInsensitive) == 0)
                return true;
        return false;
    };
    const auto isSeal = [](const QString &name) {
        return name.compare(QLatin1String(signing::kDigestSection), Qt::CaseInsensitive) == 0 ||
               name.compare(QLatin1String(signing::kSignedSection), Qt::CaseInsensitive) == 0;
    };

    // An editor's byte-order mark stays in front, whatever section follows it.
    const QByteArrayView bom = "\xEF\xBB\xBF";
    const bool hasBom = list.startsWith(bom);
    QByteArray kept;
    std::optional<qsizetype> insertAt;
    bool dropping = false;
    qsizetype start = hasBom ? bom.size() : 0;
    while (start < list.size()) {
        qsizetype end = list.indexOf('\n', start);
        end = end < 0 ? list.size() : end + 1;
        QByteArrayView content = list.sliced(start, end - start);
        start = end;
        if (content.endsWith('\n'))
            content.chop(1);
        if (content.endsWith('\r'))
            content.chop(1);
        if (const auto name = headerName(content)) {
            dropping = isRelease(*name) || isSeal(*name);
            if (isRelease(*name) && !insertAt)
                insertAt = kept.size();
        }
        if (!dropping) {
            kept.append(content);
            kept.append("\r\n");
        }
    }
    kept.insert(insertAt.value_or(kept.size()), ansi::encode(sections));
    if (hasBom)
        kept.prepend(bom.data(), bom.size());
    return kept;
}

} // namespace klv::publish
