#include "SysKeys.h"

#include "KlvDatabase.h"
#include "KvQuery.h"

namespace klv {

namespace {
constexpr int kKeyLength = 8;
constexpr int64_t kKeyRange = 2821109907456; // 36^8

int digitValue(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'A' && u <= u'Z')
        return u - u'A' + 10;
    return -1;
}
} // namespace

QString IncSysKey(const QString &key, uint16_t steps)
{
    int64_t value = 0;
    bool valid = key.size() == kKeyLength;
    for (qsizetype i = 0; valid && i < key.size(); ++i) {
        const int digit = digitValue(key[i]);
        valid = digit >= 0;
        value = value * 36 + digit;
    }
    if (!valid)
        throw ESysKeyError(QStringLiteral("Invalid system key '%1': a key has 8 characters 0-9 or A-Z").arg(key));
    value += steps;
    if (value >= kKeyRange)
        throw ESysKeyError(
            QStringLiteral("System key '%1' cannot be increased by %2: the keys are exhausted").arg(key).arg(steps));
    QString out(kKeyLength, u'0');
    for (int i = kKeyLength - 1; i >= 0; --i) {
        const int digit = static_cast<int>(value % 36);
        out[i] = QChar(static_cast<char16_t>(digit < 10 ? u'0' + digit : u'A' + digit - 10));
        value /= 36;
    }
    return out;
}

void AllocateSysKeys(KlvDatabase &database, int32_t count, QStringList &keys)
{
    TKvQuery read(database);
    read.SQL = QStringList{QStringLiteral("Select LASTSYSKEY"), QStringLiteral("From SYSPROPS")};
    read.Prepare();
    TKvQuery write(database);
    write.SQL = QStringList{QStringLiteral("Update SYSPROPS"), QStringLiteral("  set LASTSYSKEY = :lastsyskey")};
    write.Prepare();

    database.StartTransaction();
    try {
        read.Open();
        QString key = read.fieldAsString(QStringLiteral("LASTSYSKEY"));
        read.Close();
        for (int32_t i = 0; i < count; ++i) {
            key = IncSysKey(key, 1);
            keys.append(key);
        }
        write.setParam(QStringLiteral("lastsyskey"), key);
        write.ExecSQL();
        database.Commit();
    } catch (...) {
        try {
            database.Rollback();
        } catch (const Exception &) {
            // The first error is the one worth reporting.
        }
        throw;
    }
}

} // namespace klv
