#pragma once

#include <QString>

namespace SystemLog {

// The files of the log in the working directory: the log itself, and the side file where records
// wait that the log cannot take.
inline const QString kDatabaseName = QStringLiteral("dbLog.db");
inline const QString kSideFileName = QStringLiteral("dbLog.pending.db");

} // namespace SystemLog
