#include "sqlite/MovedFileGuard.h"

#include <sqlite3.h>

#include <algorithm>
#include <mutex>

namespace SystemLog::Sqlite {

namespace {

// SQLite finds a database's rollback journal, WAL and shared-memory file by the database's
// path. Once the file a connection opened is no longer at that path, those names belong to the
// file that is there now (a new log another program made): a journal there is that writer's,
// still being filled, and rolling it into the moved file would both damage the moved file and
// take the journal from under its writer, whose commit then fails after its rows are in.
//
// Only main database files are wrapped; every other file is the wrapped VFS's own.
sqlite3_vfs *g_real = nullptr;
sqlite3_vfs g_vfs;

struct GuardFile
{
    sqlite3_file base;
    sqlite3_file *real() { return reinterpret_cast<sqlite3_file *>(this + 1); }
};

sqlite3_file *realOf(sqlite3_file *f)
{
    return reinterpret_cast<GuardFile *>(f)->real();
}
const sqlite3_io_methods *io(sqlite3_file *f)
{
    return realOf(f)->pMethods;
}

bool moved(sqlite3_file *f)
{
    int hasMoved = 0;
    return io(f)->xFileControl(realOf(f), SQLITE_FCNTL_HAS_MOVED, &hasMoved) == SQLITE_OK &&
           hasMoved != 0;
}

int guardClose(sqlite3_file *f)
{
    return io(f)->xClose(realOf(f));
}
int guardRead(sqlite3_file *f, void *buf, int n, sqlite3_int64 offset)
{
    return io(f)->xRead(realOf(f), buf, n, offset);
}
int guardWrite(sqlite3_file *f, const void *buf, int n, sqlite3_int64 offset)
{
    return io(f)->xWrite(realOf(f), buf, n, offset);
}
int guardTruncate(sqlite3_file *f, sqlite3_int64 size)
{
    return io(f)->xTruncate(realOf(f), size);
}
int guardSync(sqlite3_file *f, int flags)
{
    return io(f)->xSync(realOf(f), flags);
}
int guardFileSize(sqlite3_file *f, sqlite3_int64 *size)
{
    return io(f)->xFileSize(realOf(f), size);
}
// Every write of the file (a commit, a hot journal's recovery, a checkpoint, a WAL's close)
// needs the exclusive lock, which SQLite asks for only while it holds a shared one; a program
// that moves the log under a lock of its own cannot move it while that shared lock is held, so
// what is checked here stays true until this connection lets go.
int guardLock(sqlite3_file *f, int level)
{
    if (level == SQLITE_LOCK_EXCLUSIVE && moved(f))
        return SQLITE_BUSY;
    return io(f)->xLock(realOf(f), level);
}
int guardUnlock(sqlite3_file *f, int level)
{
    return io(f)->xUnlock(realOf(f), level);
}
// SQLite asks this when it finds a journal at the path: one that some connection holds the file
// for is no hot journal. For a moved file the journal is another file's, so it is never hot.
int guardCheckReserved(sqlite3_file *f, int *out)
{
    if (moved(f)) {
        *out = 1;
        return SQLITE_OK;
    }
    return io(f)->xCheckReservedLock(realOf(f), out);
}
int guardFileControl(sqlite3_file *f, int op, void *arg)
{
    return io(f)->xFileControl(realOf(f), op, arg);
}
int guardSectorSize(sqlite3_file *f)
{
    return io(f)->xSectorSize(realOf(f));
}
int guardDevice(sqlite3_file *f)
{
    return io(f)->xDeviceCharacteristics(realOf(f));
}
// The shared-memory file of a WAL is found by the path too. (An I/O error rather than busy: WAL
// takes a busy mapping for a passing state and tries again for seconds.)
int guardShmMap(sqlite3_file *f, int region, int size, int extend, void volatile **out)
{
    if (moved(f))
        return SQLITE_IOERR_SHMMAP;
    return io(f)->xShmMap(realOf(f), region, size, extend, out);
}
int guardShmLock(sqlite3_file *f, int offset, int n, int flags)
{
    return io(f)->xShmLock(realOf(f), offset, n, flags);
}
void guardShmBarrier(sqlite3_file *f)
{
    io(f)->xShmBarrier(realOf(f));
}
int guardShmUnmap(sqlite3_file *f, int deleteFlag)
{
    return io(f)->xShmUnmap(realOf(f), deleteFlag);
}
int guardFetch(sqlite3_file *f, sqlite3_int64 offset, int n, void **out)
{
    return io(f)->xFetch(realOf(f), offset, n, out);
}
int guardUnfetch(sqlite3_file *f, sqlite3_int64 offset, void *p)
{
    return io(f)->xUnfetch(realOf(f), offset, p);
}

// One table per version of the wrapped file's methods, so that SQLite sees what it supports.
sqlite3_io_methods methodsOfVersion(int version)
{
    return sqlite3_io_methods{
        version,          guardClose,      guardRead,   guardWrite,   guardTruncate,
        guardSync,        guardFileSize,   guardLock,   guardUnlock,  guardCheckReserved,
        guardFileControl, guardSectorSize, guardDevice, guardShmMap,  guardShmLock,
        guardShmBarrier,  guardShmUnmap,   guardFetch,  guardUnfetch,
    };
}
const sqlite3_io_methods kMethods[] = {methodsOfVersion(1), methodsOfVersion(2),
                                       methodsOfVersion(3)};

int guardOpen(sqlite3_vfs *, const char *name, sqlite3_file *file, int flags, int *outFlags)
{
    if ((flags & SQLITE_OPEN_MAIN_DB) == 0)
        return g_real->xOpen(g_real, name, file, flags, outFlags);
    sqlite3_file *real = reinterpret_cast<GuardFile *>(file)->real();
    const int rc = g_real->xOpen(g_real, name, real, flags, outFlags);
    const sqlite3_io_methods *methods = real->pMethods;
    file->pMethods = methods ? &kMethods[std::clamp(methods->iVersion, 1, 3) - 1] : nullptr;
    return rc;
}

void install()
{
    g_real = sqlite3_vfs_find(nullptr);
    if (!g_real)
        return;
    g_vfs = *g_real;
    g_vfs.pNext = nullptr;
    g_vfs.zName = "systemlog-moved-file-guard";
    g_vfs.szOsFile = int(sizeof(GuardFile)) + g_real->szOsFile;
    g_vfs.xOpen = guardOpen;
    sqlite3_vfs_register(&g_vfs, 1);
}

} // namespace

void guardMovedFiles()
{
    static std::once_flag once;
    std::call_once(once, install);
}

} // namespace SystemLog::Sqlite
