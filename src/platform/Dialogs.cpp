#include "Dialogs.h"

#include "Exceptions.h"

namespace klv {

bool Dialogs::login(const QString &, QString &, QString &)
{
    return false;
}

void Dialogs::showException(const std::exception &e)
{
    error(exceptionMessage(e));
}

} // namespace klv
