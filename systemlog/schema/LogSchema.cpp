#include "schema/LogSchema.h"

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

const char kIndexExists[] = "SELECT count(*) FROM sqlite_master WHERE type = 'index' AND "
                            "name = 'SystemInfo_type_datetime'";

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
    Sqlite::Statement columns(db, "SELECT name, type, pk FROM pragma_table_info('SystemInfo', ?1)");
    columns.bind(1, std::string_view(schema));
    QStringList names;
    int keys = 0;
    int rc;
    while ((rc = columns.step()) == SQLITE_ROW) {
        const std::string_view name = columns.text(0);
        names << QString::fromUtf8(name.data(), static_cast<int>(name.size())).toLower();
        if (names.constLast() == QLatin1String("type")) {
            const std::string_view declared = columns.text(1);
            result.integerTypes = QString::fromUtf8(declared.data(), int(declared.size()))
                                      .contains(QLatin1String("INT"), Qt::CaseInsensitive);
        }
        if (columns.int64(2) > 0) {
            const std::string_view type = columns.text(1);
            ++keys;
            result.integerKey =
                names.constLast() == QLatin1String("id") &&
                QString::fromUtf8(type.data(), static_cast<int>(type.size()))
                        .compare(QLatin1String("INTEGER"), Qt::CaseInsensitive) == 0;
        }
    }
    result.integerKey = result.integerKey && keys == 1;
    result.rc = rc == SQLITE_DONE ? SQLITE_OK : rc;
    if (result.rc != SQLITE_OK)
        return result;
    result.exists = !names.isEmpty();
    // A view answers for rowid too (with NULL): only a table can take rows.
    const QByteArray kind = QByteArray("SELECT type = 'table' FROM \"") + schema +
                            "\".sqlite_master WHERE name = 'SystemInfo' COLLATE NOCASE";
    qint64 isTable = 1;
    bool none = false;
    Sqlite::readNumber(db, std::string_view(kind.constData(), size_t(kind.size())), &isTable,
                       &none);
    const QByteArray rowid = QByteArray("SELECT rowid FROM \"") + schema + "\".SystemInfo LIMIT 0";
    const Sqlite::Statement probe(db, std::string_view(rowid.constData(), size_t(rowid.size())));
    result.takesRows = isTable != 0 && (probe.ok() || probe.rc() != SQLITE_ERROR);
    for (const char *column : {"id", "datetime", "type", "message"}) {
        if (result.exists && !names.contains(QLatin1String(column))) {
            result.missing = QLatin1String(column);
            break;
        }
    }
    return result;
}

} // namespace SystemLog::LogSchema
