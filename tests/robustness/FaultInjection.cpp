#include "FaultInjection.h"

#include "spill/SpillIo.h"

#include <QStringList>

#include <sqlite3.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace Robustness {

namespace {

const QStringList kPoints{"write",      "sync",      "truncate",    "delete",
                          "spillwrite", "spillsync", "spilldirsync"};
const QStringList kFiles{"any", "log", "side"};
const QStringList kActions{"full", "ioerr", "kill"};

FaultPlan g_plan;
BeforeKill g_beforeKill = nullptr;
std::atomic<long> g_seen[7];

// Whether this operation fails; a kill does not return. The first faults are said on standard
// error, with the file they hit.
bool faultAt(FaultPlan::Point point, bool isLog, const char *path)
{
    if (point != g_plan.point)
        return false;
    if (!g_plan.isSpill() && g_plan.files != FaultPlan::Files::Any &&
        isLog != (g_plan.files == FaultPlan::Files::Log))
        return false;
    const long n = ++g_seen[int(point)];
    if (n < g_plan.nth || n >= g_plan.nth + g_plan.count)
        return false;
    if (n < g_plan.nth + 3)
        std::fprintf(stderr, "robustness child: fault %s at %s #%ld of %s\n",
                     qPrintable(g_plan.text()), qPrintable(kPoints[int(point)]), n,
                     path ? path : "(spill)");
    if (g_plan.action == FaultPlan::Action::Kill) {
        if (g_beforeKill)
            g_beforeKill();
        std::raise(SIGKILL);
    }
    return true;
}

// "dbLog.db" itself and the journals named after it.
bool isLogFile(const char *path)
{
    if (!path)
        return false;
    const char *slash = std::strrchr(path, '/');
    const char *name = slash ? slash + 1 : path;
    return std::strncmp(name, "dbLog.db", 8) == 0 && (name[8] == '\0' || name[8] == '-');
}

sqlite3_vfs *g_real = nullptr;
sqlite3_vfs g_vfs;

// The real VFS's file lies right behind this one.
struct FaultFile
{
    sqlite3_file base;
    bool isLog;
    const char *path; // SQLite keeps the name for as long as the file is open
    sqlite3_file *real() { return reinterpret_cast<sqlite3_file *>(this + 1); }
};

FaultFile *of(sqlite3_file *f)
{
    return reinterpret_cast<FaultFile *>(f);
}
sqlite3_file *realOf(sqlite3_file *f)
{
    return of(f)->real();
}
const sqlite3_io_methods *io(sqlite3_file *f)
{
    return realOf(f)->pMethods;
}

int faultClose(sqlite3_file *f)
{
    return io(f)->xClose(realOf(f));
}
int faultRead(sqlite3_file *f, void *buf, int n, sqlite3_int64 offset)
{
    return io(f)->xRead(realOf(f), buf, n, offset);
}
int faultWrite(sqlite3_file *f, const void *buf, int n, sqlite3_int64 offset)
{
    if (faultAt(FaultPlan::Point::Write, of(f)->isLog, of(f)->path))
        return g_plan.action == FaultPlan::Action::Full ? SQLITE_FULL : SQLITE_IOERR_WRITE;
    return io(f)->xWrite(realOf(f), buf, n, offset);
}
int faultTruncate(sqlite3_file *f, sqlite3_int64 size)
{
    if (faultAt(FaultPlan::Point::Truncate, of(f)->isLog, of(f)->path))
        return SQLITE_IOERR_TRUNCATE;
    return io(f)->xTruncate(realOf(f), size);
}
// fsync reports a full disk as an I/O error too (SQLite maps both to SQLITE_IOERR_FSYNC).
int faultSync(sqlite3_file *f, int flags)
{
    if (faultAt(FaultPlan::Point::Sync, of(f)->isLog, of(f)->path))
        return SQLITE_IOERR_FSYNC;
    return io(f)->xSync(realOf(f), flags);
}
int faultFileSize(sqlite3_file *f, sqlite3_int64 *size)
{
    return io(f)->xFileSize(realOf(f), size);
}
int faultLock(sqlite3_file *f, int level)
{
    return io(f)->xLock(realOf(f), level);
}
int faultUnlock(sqlite3_file *f, int level)
{
    return io(f)->xUnlock(realOf(f), level);
}
int faultCheckReserved(sqlite3_file *f, int *out)
{
    return io(f)->xCheckReservedLock(realOf(f), out);
}
int faultFileControl(sqlite3_file *f, int op, void *arg)
{
    return io(f)->xFileControl(realOf(f), op, arg);
}
int faultSectorSize(sqlite3_file *f)
{
    return io(f)->xSectorSize(realOf(f));
}
int faultDevice(sqlite3_file *f)
{
    return io(f)->xDeviceCharacteristics(realOf(f));
}
int faultShmMap(sqlite3_file *f, int region, int size, int extend, void volatile **out)
{
    return io(f)->xShmMap(realOf(f), region, size, extend, out);
}
int faultShmLock(sqlite3_file *f, int offset, int n, int flags)
{
    return io(f)->xShmLock(realOf(f), offset, n, flags);
}
void faultShmBarrier(sqlite3_file *f)
{
    io(f)->xShmBarrier(realOf(f));
}
int faultShmUnmap(sqlite3_file *f, int deleteFlag)
{
    return io(f)->xShmUnmap(realOf(f), deleteFlag);
}
int faultFetch(sqlite3_file *f, sqlite3_int64 offset, int n, void **out)
{
    return io(f)->xFetch(realOf(f), offset, n, out);
}
int faultUnfetch(sqlite3_file *f, sqlite3_int64 offset, void *p)
{
    return io(f)->xUnfetch(realOf(f), offset, p);
}

const sqlite3_io_methods kMethods = {
    3,
    faultClose,
    faultRead,
    faultWrite,
    faultTruncate,
    faultSync,
    faultFileSize,
    faultLock,
    faultUnlock,
    faultCheckReserved,
    faultFileControl,
    faultSectorSize,
    faultDevice,
    faultShmMap,
    faultShmLock,
    faultShmBarrier,
    faultShmUnmap,
    faultFetch,
    faultUnfetch,
};

int faultOpen(sqlite3_vfs *, const char *name, sqlite3_file *file, int flags, int *outFlags)
{
    FaultFile *f = of(file);
    f->isLog = isLogFile(name);
    f->path = name;
    const int rc = g_real->xOpen(g_real, name, f->real(), flags, outFlags);
    file->pMethods = f->real()->pMethods ? &kMethods : nullptr;
    return rc;
}

// A failed deletion that was to sync the directory has unlinked the file already (the sync of
// the directory failed): the file is gone although the caller is told otherwise.
int faultDelete(sqlite3_vfs *, const char *name, int syncDir)
{
    if (!faultAt(FaultPlan::Point::Delete, isLogFile(name), name)) {
        const int rc = g_real->xDelete(g_real, name, syncDir);
        if (rc != SQLITE_OK)
            std::fprintf(stderr, "robustness child: the deletion of %s failed: %d\n", name, rc);
        return rc;
    }
    std::fprintf(stderr, "robustness child: the deletion %s the directory's sync\n",
                 syncDir ? "fails in" : "fails before");
    if (!syncDir)
        return SQLITE_IOERR_DELETE;
    g_real->xDelete(g_real, name, 0);
    return SQLITE_IOERR_DIR_FSYNC;
}

int spillFault(SystemLog::SpillIoPoint point)
{
    const FaultPlan::Point p =
        point == SystemLog::SpillIoPoint::Write  ? FaultPlan::Point::SpillWrite
        : point == SystemLog::SpillIoPoint::Sync ? FaultPlan::Point::SpillSync
                                                 : FaultPlan::Point::SpillDirSync;
    if (!faultAt(p, false, nullptr))
        return 0;
    return g_plan.action == FaultPlan::Action::Full ? ENOSPC : EIO;
}

} // namespace

bool FaultPlan::parse(const QString &text, FaultPlan *plan)
{
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() != 5 || !kPoints.contains(parts[0]) || !kFiles.contains(parts[1]) ||
        !kActions.contains(parts[3]))
        return false;
    bool nthOk = false, countOk = false;
    plan->point = Point(kPoints.indexOf(parts[0]));
    plan->files = Files(kFiles.indexOf(parts[1]));
    plan->nth = parts[2].toLong(&nthOk);
    plan->action = Action(kActions.indexOf(parts[3]));
    plan->count = parts[4].toLong(&countOk);
    return nthOk && countOk && plan->nth > 0 && plan->count > 0;
}

QString FaultPlan::text() const
{
    return QStringList{kPoints[int(point)], kFiles[int(files)], QString::number(nth),
                       kActions[int(action)], QString::number(count)}
        .join(QLatin1Char(':'));
}

bool installFaults(const FaultPlan &plan, BeforeKill beforeKill)
{
    g_plan = plan;
    g_beforeKill = beforeKill;
    SystemLog::setSpillFaultHook(spillFault);
    g_real = sqlite3_vfs_find("unix");
    if (!g_real)
        return false;
    g_vfs = *g_real;
    g_vfs.pNext = nullptr;
    g_vfs.zName = "robustness-faults";
    g_vfs.szOsFile = int(sizeof(FaultFile)) + g_real->szOsFile;
    g_vfs.xOpen = faultOpen;
    g_vfs.xDelete = faultDelete;
    return sqlite3_vfs_register(&g_vfs, 1) == SQLITE_OK;
}

} // namespace Robustness
