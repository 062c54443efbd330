#pragma once

namespace SystemLog::Sqlite {

// Makes the default SQLite VFS of the process one that keeps a connection whose database file
// was renamed away or removed (another file may now be at its path) off every file that SQLite
// reaches by that path: a rollback journal found there is never taken for the moved file's hot
// journal (never rolled into it, never deleted), and the moved file is never locked exclusively,
// so that neither a recovery nor a commit nor a WAL checkpoint can write into it. Statements on
// such a connection read the moved file or fail as busy; the caller opens the path anew.
// Idempotent and thread-safe; it wraps the VFS that is the default when first called.
void guardMovedFiles();

} // namespace SystemLog::Sqlite
