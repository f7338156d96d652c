#pragma once

#include "platform/Exceptions.h"

#include <QByteArray>
#include <QObject>
#include <QStringList>

// Keys of the string values that can be asked for; IntegerVersion is the application's own.
enum TVerInfoKey
{
    viCompanyName,
    viFileDescription,
    viFileVersion,
    viInternalName,
    viLegalCopyright,
    viLegalTrademarks,
    viOriginalFilename,
    viProductName,
    viProductVersion,
    viComments,
    viIntegerVersion
};

// The file has no version resource (or does not exist).
class ENoVerInfoError : public klv::Exception
{
public:
    using Exception::Exception;
    QString className() const override { return QStringLiteral("ENoVerInfoError"); }
};

// The version resource cannot be read, or it has no translation table.
class EVerInfoError : public klv::Exception
{
public:
    using Exception::Exception;
    QString className() const override { return QStringLiteral("EVerInfoError"); }
};

// The version resource has no complete fixed file information.
class eNoFixeVerInfo : public klv::Exception
{
public:
    using Exception::Exception;
    QString className() const override { return QStringLiteral("eNoFixeVerInfo"); }
};

// Reads the version resource of one file when constructed and answers its string values in
// the first translation. Raises one of the exceptions above when the resource is unusable.
class TVerInfoRes : public QObject
{
    Q_OBJECT

public:
    TVerInfoRes(QObject *owner, const QString &fileName);
    // The running program's own executable.
    explicit TVerInfoRes(QObject *owner);
    ~TVerInfoRes() override;

    // The value stored for `key`, up to its first zero character; empty when the first
    // translation does not hold it or the key is not one of TVerInfoKey.
    void GetVersionValue(TVerInfoKey key, QString &value) const;
    QString GetVersionValue(TVerInfoKey key) const;
    // "Pre-release", "Private build", "Special build", "Debug": those set and not masked out.
    const QStringList &FileFlags() const { return FFileFlags; }
    const QString &fileName() const { return FFileName; }

private:
    void load();
    void LoadVersionInfo();
    void LoadFixedInfo();
    void LoadFileFlags();

    quint32 FHandle = 0;
    qint32 FInfoSize = 0;
    QByteArray FInfoBlock;
    const char *FTranslation = nullptr; // language id, then code page; both 16-bit
    const char *FFixedInfo = nullptr;   // VS_FIXEDFILEINFO, 52 bytes
    QStringList FFileFlags;
    QString FFileName;
};
