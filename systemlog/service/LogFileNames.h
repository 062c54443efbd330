#pragma once

#include <QString>

namespace SystemLog {

// The files of the log in the working directory: the log itself, the spill journal's directory
// where records wait that the log cannot take, and the side file an earlier version kept them in.
inline const QString kDatabaseName = QStringLiteral("dbLog.db");
inline const QString kSpillDirName = QStringLiteral("dbLog.spill");
inline const QString kSideFileName = QStringLiteral("dbLog.pending.db");

} // namespace SystemLog
