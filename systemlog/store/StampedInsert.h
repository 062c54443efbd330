#pragma once

#include "sqlite/Sqlite.h"

#include <string_view>

struct sqlite3;

namespace SystemLog {

// The insert of one record with the stamp of its logging (which may lie well before the moment
// it is stored), prepared once for all the records of a transaction.
class StampedInsert
{
public:
    explicit StampedInsert(sqlite3 *db);

    // SQLITE_OK once prepared.
    int rc() const { return m_insert.rc(); }

    // SQLITE_DONE, or the failure. A value SQLite cannot take (a message beyond its length
    // limit) fails its bind, and the step reports it: that record alone is refused, never
    // stored with a NULL.
    // The message's bytes are bound without a copy: they must stay as they are until add()
    // returns.
    int add(std::string_view stamp, int type, std::string_view utf8Message);

    // Whether a failure of add() ends the whole transaction (the file or the table fails, or
    // the table refuses every record) rather than refusing that record alone.
    static bool failsTheBatch(int rc, int extendedCode);

private:
    int step();

    Sqlite::Statement m_insert;
};

} // namespace SystemLog
