#pragma once

#include <QString>

namespace SystemLog::SetAside {

// The files SQLite keeps beside a database, by the suffix it gives them: the rollback journal
// and the WAL with its index. They belong to the file they lie beside and go with it.
constexpr const char *kCompanions[] = {"-journal", "-wal", "-shm"};

// A free name "<path>.<kind>-<yyyyMMdd-hhmmss>[-n]" beside `path`: neither it nor any of its
// companions exists.
QString freeName(const QString &path, const QString &kind);

// Renames the file at `path` (a file of any type, kept exactly as it is) and its companions to
// `target`, never over an existing name: the companions first, so that a new database made at
// the path never finds a journal or a WAL of the old one and rolls it into itself. On a failure
// what was moved goes back. The directory is synced after the move. 0 or the errno.
int moveWithCompanions(const QString &path, const QString &target);

} // namespace SystemLog::SetAside
