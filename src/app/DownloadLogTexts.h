#pragma once

#include <QString>

namespace klv {

// The download log's line before each file fetched, a package or a patch alike.
inline const QString kDownloadLog = QStringLiteral("Download ");

} // namespace klv
