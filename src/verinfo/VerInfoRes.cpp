#include "VerInfoRes.h"

#include "FileVersionInfo.h"
#include "platform/Ansi.h"

#include <QCoreApplication>
#include <QtEndian>
#include <array>
#include <cstring>

using namespace klv::verinfo;

namespace {

const std::array<QString, 11> &keyTable()
{
    static const std::array<QString, 11> keys = {
        QStringLiteral("CompanyName"),      QStringLiteral("FileDescription"), QStringLiteral("FileVersion"),
        QStringLiteral("InternalName"),     QStringLiteral("LegalCopyright"),  QStringLiteral("LegalTrademarks"),
        QStringLiteral("OriginalFilename"), QStringLiteral("ProductName"),     QStringLiteral("ProductVersion"),
        QStringLiteral("Comments"),         QStringLiteral("IntegerVersion")};
    return keys;
}

// Fixed file information: the flags mask and the flags are the only fields used.
constexpr qsizetype kFixedInfoSize = 52;
constexpr qsizetype kFlagsMaskOffset = 24;
constexpr qsizetype kFlagsOffset = 28;
constexpr qsizetype kTranslationSize = 4;

struct FlagText
{
    quint32 bit;
    const char16_t *text;
};
constexpr std::array<FlagText, 4> kFlagTexts = {{
    {0x02, u"Pre-release"},
    {0x08, u"Private build"},
    {0x20, u"Special build"},
    {0x01, u"Debug"},
}};

QString hex4(quint16 value)
{
    return QString::number(value, 16).toUpper().rightJustified(4, u'0');
}

} // namespace

TVerInfoRes::TVerInfoRes(QObject *owner, const QString &fileName) : QObject(owner), FFileName(fileName)
{
    load();
}

TVerInfoRes::TVerInfoRes(QObject *owner) : QObject(owner), FFileName(QCoreApplication::applicationFilePath())
{
    load();
}

TVerInfoRes::~TVerInfoRes() = default;

void TVerInfoRes::load()
{
    LoadVersionInfo();
    LoadFixedInfo();
    LoadFileFlags();
}

void TVerInfoRes::LoadVersionInfo()
{
    FInfoSize = qint32(getFileVersionInfoSize(FFileName, &FHandle));
    if (FInfoSize <= 0)
        throw ENoVerInfoError(QStringLiteral("No Version Info Available."));
    FInfoBlock = QByteArray(FInfoSize, '\0');
    if (!getFileVersionInfo(FFileName, FHandle, quint32(FInfoSize), FInfoBlock.data()))
        throw EVerInfoError(QStringLiteral("Cannot obtain version info."));
    const void *translation = nullptr;
    quint32 length = 0;
    // A table too short for one language/code page pair is as good as none.
    if (!verQueryValue(FInfoBlock.constData(), QStringLiteral("\\VarFileInfo\\Translation"), &translation, &length) ||
        length < kTranslationSize)
        throw EVerInfoError(QStringLiteral("No language info."));
    FTranslation = static_cast<const char *>(translation);
}

void TVerInfoRes::LoadFixedInfo()
{
    const void *fixed = nullptr;
    quint32 length = 0;
    if (!verQueryValue(FInfoBlock.constData(), QStringLiteral("\\"), &fixed, &length) || length < kFixedInfoSize)
        throw eNoFixeVerInfo(QStringLiteral("No fixed file info"));
    FFixedInfo = static_cast<const char *>(fixed);
}

void TVerInfoRes::LoadFileFlags()
{
    const quint32 mask = qFromLittleEndian<quint32>(FFixedInfo + kFlagsMaskOffset);
    const quint32 flags = qFromLittleEndian<quint32>(FFixedInfo + kFlagsOffset) & mask;
    for (const FlagText &flag : kFlagTexts) {
        if (flags & flag.bit)
            FFileFlags.append(QString::fromUtf16(flag.text));
    }
}

void TVerInfoRes::GetVersionValue(TVerInfoKey key, QString &value) const
{
    value.clear();
    const auto index = static_cast<size_t>(key);
    if (index >= keyTable().size())
        return;
    const quint16 language = qFromLittleEndian<quint16>(FTranslation);
    const quint16 codePage = qFromLittleEndian<quint16>(FTranslation + 2);
    const QString path =
        QStringLiteral("\\StringFileInfo\\") + hex4(language) + hex4(codePage) + u'\\' + keyTable()[index];
    const void *found = nullptr;
    quint32 length = 0;
    if (!verQueryValue(FInfoBlock.constData(), path, &found, &length))
        return;
    // The stored length bounds the search for the terminating zero.
    const char *text = static_cast<const char *>(found);
    const auto *zero = static_cast<const char *>(std::memchr(text, 0, length));
    value = klv::ansi::decode(QByteArrayView(text, zero ? zero - text : qsizetype(length)));
}

QString TVerInfoRes::GetVersionValue(TVerInfoKey key) const
{
    QString value;
    GetVersionValue(key, value);
    return value;
}
