#pragma once

#include "platform/Exceptions.h"

#include <QString>
#include <QStringList>
#include <cstdint>

namespace klv {

class KlvDatabase;

// A key counter that cannot be increased: not 8 characters of 0-9 and A-Z, or past ZZZZZZZZ.
class ESysKeyError : public Exception
{
public:
    using Exception::Exception;
    QString className() const override { return QStringLiteral("ESysKeyError"); }
};

// System keys are 8 characters 0-9 and A-Z, a number in base 36 with the last character least
// significant. Returns the key increased by `steps`; raises ESysKeyError for an invalid key or
// when the result would not fit in 8 characters, so that no key is ever handed out twice.
QString IncSysKey(const QString &key, uint16_t steps);

// Reserves `count` new keys from the counter SYSPROPS.LASTSYSKEY and appends them to `keys` in
// ascending order. The read and the write of the counter run in one transaction on `database`;
// on any error it is rolled back and the exception goes on (the keys appended so far must then
// not be used). A count of 0 or below writes the counter back unchanged.
void AllocateSysKeys(KlvDatabase &database, int32_t count, QStringList &keys);

} // namespace klv
