#include "LogSchema.h"

#include "sqlite/Sqlite.h"

#include <QStringList>

#include <sqlite3.h>

namespace SystemLog::LogSchema {

const char kCreateTable[] =
    "CREATE TABLE IF NOT EXISTS SystemInfo(\t\t\t\t\t\t"
    "id INTEGER  PRIMARY KEY AUTOINCREMENT UNIQUE \t\t\t\t\t\t"
    ", datetime DATETIME NOT NULL DEFAULT (datetime(CURRENT_TIMESTAMP,'localtime'))  \t\t\t\t\t\t"
    ", type INT(32) \t\t\t\t\t\t"
    ", message TEXT)";

const char kCreateIndex[] =
    "CREATE INDEX IF NOT EXISTS SystemInfo_type_datetime ON SystemInfo(type, datetime)";

QString TableCheck::problem() const
{
    if (!exists)
        return QStringLiteral("no table SystemInfo");
    if (!missing.isEmpty())
        return QStringLiteral("SystemInfo has no column %1").arg(missing);
    return QString();
}

TableCheck check(sqlite3 *db, const char *schema)
{
    TableCheck result;
    Sqlite::Statement columns(db, "SELECT name FROM pragma_table_info('SystemInfo', ?1)");
    columns.bind(1, std::string_view(schema));
    QStringList names;
    int rc;
    while ((rc = columns.step()) == SQLITE_ROW) {
        const std::string_view name = columns.text(0);
        names << QString::fromUtf8(name.data(), static_cast<int>(name.size())).toLower();
    }
    result.rc = rc == SQLITE_DONE ? SQLITE_OK : rc;
    if (result.rc != SQLITE_OK)
        return result;
    result.exists = !names.isEmpty();
    for (const char *column : {"id", "datetime", "type", "message"}) {
        if (result.exists && !names.contains(QLatin1String(column))) {
            result.missing = QLatin1String(column);
            break;
        }
    }
    return result;
}

} // namespace SystemLog::LogSchema
