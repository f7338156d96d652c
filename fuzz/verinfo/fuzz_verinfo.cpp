// Feeds bytes to the version resource reader twice: as a whole PE image, and as a version
// resource on its own, so that the tree walk is reached without a valid PE around it. Every
// query that succeeds must return bytes inside the info block.
#include "verinfo/VerInfoX.h"

#include <QString>
#include <QtEndian>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

const char16_t *const kKeys[] = {u"CompanyName",    u"FileDescription", u"FileVersion",      u"InternalName",
                                 u"LegalCopyright", u"LegalTrademarks", u"OriginalFilename", u"ProductName",
                                 u"ProductVersion", u"Comments",        u"IntegerVersion"};

QByteArrayView query(QByteArrayView block, const QString &path)
{
    QByteArrayView value;
    if (!klv::verinfo::queryInfoBlock(block, path, value))
        return {};
    if (value.data() < block.data() || value.data() + value.size() > block.data() + block.size())
        std::abort();
    // Touch every byte so that the sanitizers see a bad range.
    volatile char sink = 0;
    for (char c : value)
        sink = sink ^ c;
    return value;
}

void readResource(QByteArrayView resource)
{
    const qsizetype size = klv::verinfo::infoBlockSize(resource);
    if (size <= 0)
        return;
    std::vector<char> block(static_cast<size_t>(size));
    if (!klv::verinfo::buildInfoBlock(resource, block.data(), size))
        std::abort(); // the size it asked for must be enough
    const QByteArrayView view(block.data(), size);
    if (klv::verinfo::infoBlockView(block.data()).size() != size)
        std::abort();
    query(view, QStringLiteral("\\"));
    const QByteArrayView translation = query(view, QStringLiteral("\\VarFileInfo\\Translation"));
    if (translation.size() < 4)
        return;
    const quint16 language = qFromLittleEndian<quint16>(translation.data());
    const quint16 codePage = qFromLittleEndian<quint16>(translation.data() + 2);
    const QString table = QStringLiteral("\\StringFileInfo\\%1%2\\")
                              .arg(language, 4, 16, QLatin1Char('0'))
                              .arg(codePage, 4, 16, QLatin1Char('0'))
                              .toUpper();
    for (const char16_t *key : kKeys)
        query(view, table + QString::fromUtf16(key));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView input(data, qsizetype(size));
    readResource(klv::verinfo::findVersionResource(input));
    readResource(input);
    return 0;
}
