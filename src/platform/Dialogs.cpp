#include "Dialogs.h"

#include "Exceptions.h"

namespace klv {

void Dialogs::showException(const std::exception &e)
{
    error(exceptionMessage(e));
}

} // namespace klv
