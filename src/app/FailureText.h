#pragma once

#include <QString>
#include <exception>

namespace klv {

// What a failure means to the person at the screen: what happened and what to do next, in
// Dutch, and whether trying again a moment later may help. The technical text stays in the
// exception, for the error log.
struct FailureText
{
    QString text;
    bool retryMends = true;
};

// Every failure a person can meet during a run: the server unreachable, a refused customer key,
// a missing file, a server error, an untrusted certificate, a full disk, a database that cannot
// be opened, a proxy that refuses. Others keep their own message.
FailureText explainFailure(const std::exception &e);

} // namespace klv
