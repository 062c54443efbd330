#include "store/StampedInsert.h"

namespace SystemLog {

StampedInsert::StampedInsert(sqlite3 *db)
    : m_insert(db, "INSERT INTO SystemInfo(datetime, type ,message) VALUES(?, ?, ?)")
{
}

int StampedInsert::step()
{
    const int rc = m_insert.step();
    m_insert.reset();
    return rc;
}

int StampedInsert::add(std::string_view stamp, int type, std::string_view utf8Message)
{
    m_insert.bind(1, stamp).bind(2, qint64(type)).bindUnowned(3, utf8Message);
    return step();
}

bool StampedInsert::failsTheBatch(int rc, int extendedCode)
{
    return Sqlite::classify(rc) != Sqlite::Fault::RecordOnly ||
           Sqlite::refusedByTable(extendedCode);
}

} // namespace SystemLog
