#pragma once

// The table statement of "dbLog.db", character for character as the log service writes it (217
// characters). Tests and benchmarks create log files with this copy of their own, not with the
// service's, so that a change to the service's statement shows up as a difference.

#include <QLatin1Char>
#include <QString>

namespace LogSchema {

inline QString tableStatement()
{
    const QString tabs(6, QLatin1Char('\t'));
    return QStringLiteral("CREATE TABLE IF NOT EXISTS SystemInfo(") + tabs +
           QStringLiteral("id INTEGER  PRIMARY KEY AUTOINCREMENT UNIQUE ") + tabs +
           QStringLiteral(", datetime DATETIME NOT NULL DEFAULT "
                          "(datetime(CURRENT_TIMESTAMP,'localtime'))  ") +
           tabs + QStringLiteral(", type INT(32) ") + tabs + QStringLiteral(", message TEXT)");
}

} // namespace LogSchema
