// A power cut, modelled in the process that suffers it: loaded with LD_PRELOAD, this library
// stands between the process and the C library's file calls below one directory and remembers
// what the disk would not have yet:
//   - every sector (512 bytes) written to a file since that file's last fsync or fdatasync,
//     with what the sector held at that sync, and the file's size at that sync;
//   - every directory entry made, removed or renamed since that directory's last fsync (a
//     removed or replaced file is kept by a hard link in a stash directory until then).
// At the chosen operation it cuts the power: before doing that operation it puts the files back
// into a state the disk could be in after the cut (every unsynced sector and entry dropped, or a
// random subset of them, sector by sector), says so on standard error, lets the process report
// what it knows (see powercut_set_before_cut) and ends it with SIGKILL, holding every other
// thread off the files meanwhile.
//
// Environment:
//   POWERCUT_ROOT   the directory whose files are tracked (required; nothing is tracked without)
//   POWERCUT_STASH  a directory on the same file system for removed files (required)
//   POWERCUT_PLAN   POINT:N:DROP:SEED; POINT any | write | sync | remove (an unlink or a rename);
//                   N the operation of that kind, counted from 1, before which the power goes;
//                   DROP all | some (each unsynced sector and the size kept or dropped at random,
//                   each directory a random prefix of its unsynced entries kept); empty: no cut
// The files "-shm" of SQLite are not tracked: SQLite rebuilds them after a crash.
// At a normal exit it says how many operations of each kind it saw, so that cut points can be
// chosen over a whole run.

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

extern "C" {
using BeforeCut = void (*)();
// The process registers what it says right before the cut (async-signal-safe calls only).
void powercut_set_before_cut(BeforeCut callback);
}

namespace {

constexpr long long kSector = 512;

enum Kind
{
    KindWrite,
    KindSync,
    KindRemove,
    KindOther, // a creation, a link, a directory made
    KindCount,
};

struct Key
{
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator<(const Key &o) const { return dev != o.dev ? dev < o.dev : ino < o.ino; }
};

// What a file held at its last sync, for the sectors written since.
struct FileState
{
    std::string path; // where it is now (a stash path once removed)
    long long syncedSize = 0;
    std::map<long long, std::string> before; // sector -> its bytes at the last sync
};

struct DirOp
{
    enum Type
    {
        Create, // `name` came into being (a file, a link, a directory)
        Remove, // `name` went; its file is at `stash`
        Rename, // `name` became `name2`; a file replaced at `name2` is at `stash`
        RemoveDir,
    } type = Create;
    Key dir;
    std::string name, name2, stash;
    bool isDir = false;
};

struct Plan
{
    int kind = -1; // -1: any
    long long nth = 0;
    bool some = false;
    unsigned seed = 0;
};

std::mutex g_mutex;
bool g_ready = false;
bool g_cut = false;
std::string g_root, g_stash;
Plan g_plan;
long long g_seen[KindCount] = {};
long long g_seenAny = 0;
long long g_stashed = 0;
std::map<Key, FileState> g_files;
std::vector<DirOp> g_dirOps;
std::atomic<BeforeCut> g_beforeCut{nullptr};

template <typename F> F real(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// The C library's own calls, which the library itself uses (its own would wait on the mutex).
struct RealCalls
{
    int (*openat)(int, const char *, int,
                  ...) = real<int (*)(int, const char *, int, ...)>("openat");
    ssize_t (*write)(int, const void *, size_t) = real<decltype(&::write)>("write");
    ssize_t (*pwrite)(int, const void *, size_t, off_t) = real<decltype(&::pwrite)>("pwrite");
    ssize_t (*pwrite64)(int, const void *, size_t,
                        off64_t) = real<decltype(&::pwrite64)>("pwrite64");
    ssize_t (*writev)(int, const struct iovec *, int) = real<decltype(&::writev)>("writev");
    int (*ftruncate)(int, off_t) = real<decltype(&::ftruncate)>("ftruncate");
    int (*fsync)(int) = real<decltype(&::fsync)>("fsync");
    int (*fdatasync)(int) = real<decltype(&::fdatasync)>("fdatasync");
    int (*unlinkat)(int, const char *, int) = real<decltype(&::unlinkat)>("unlinkat");
    int (*renameat2)(int, const char *, int, const char *,
                     unsigned) = real<decltype(&::renameat2)>("renameat2");
    int (*mkdirat)(int, const char *, mode_t) = real<decltype(&::mkdirat)>("mkdirat");
    int (*linkat)(int, const char *, int, const char *, int) = real<decltype(&::linkat)>("linkat");
};

const RealCalls &sys()
{
    static const RealCalls calls;
    return calls;
}

int openFile(const char *path, int flags)
{
    return sys().openat(AT_FDCWD, path, flags | O_CLOEXEC);
}
int removeFile(const char *path)
{
    return sys().unlinkat(AT_FDCWD, path, 0);
}
int moveFile(const char *from, const char *to)
{
    return sys().renameat2(AT_FDCWD, from, AT_FDCWD, to, 0);
}

std::string absolutePath(int dirFd, const char *path)
{
    if (!path)
        return std::string();
    if (path[0] == '/')
        return path;
    char base[PATH_MAX];
    if (dirFd == AT_FDCWD) {
        if (!getcwd(base, sizeof base))
            return std::string();
    } else {
        char link[64];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", dirFd);
        const ssize_t n = readlink(link, base, sizeof base - 1);
        if (n <= 0)
            return std::string();
        base[n] = '\0';
    }
    std::string out = base;
    const char *rest = path;
    while (rest[0] == '.' && rest[1] == '/')
        rest += 2;
    if (std::strcmp(rest, ".") == 0)
        return out;
    return out + '/' + rest;
}

bool underRoot(const std::string &path)
{
    return g_ready && !path.empty() && path.compare(0, g_root.size(), g_root) == 0 &&
           (path.size() == g_root.size() || path[g_root.size()] == '/') &&
           (path.size() < 4 || path.compare(path.size() - 4, 4, "-shm") != 0);
}

std::string parentOf(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool keyOfPath(const std::string &path, Key *key, bool *isDir = nullptr)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return false;
    *key = Key{st.st_dev, st.st_ino};
    if (isDir)
        *isDir = S_ISDIR(st.st_mode);
    return true;
}

// The tracked file or directory behind a descriptor; nullptr for anything else.
bool keyOfFd(int fd, Key *key, struct stat *st)
{
    if (fstat(fd, st) != 0)
        return false;
    *key = Key{st->st_dev, st->st_ino};
    return true;
}

bool isTrackedDir(const Key &key)
{
    for (const DirOp &op : g_dirOps) {
        if (op.dir.dev == key.dev && op.dir.ino == key.ino)
            return true;
    }
    return false;
}

void cut(const char *what);

// Counts an operation of `kind`; the power goes before the planned one.
void count(int kind, const char *what)
{
    ++g_seen[kind];
    ++g_seenAny;
    if (g_plan.nth <= 0 || g_cut)
        return;
    const long long n = g_plan.kind < 0 ? g_seenAny : g_plan.kind == kind ? g_seen[kind] : 0;
    if (n == g_plan.nth)
        cut(what);
}

// The first write of each sector since the last sync keeps what the sector held.
void rememberSectors(FileState &file, int fd, long long offset, long long length, int flags)
{
    if (length <= 0)
        return;
    int readFd = fd;
    if ((flags & O_ACCMODE) == O_WRONLY) {
        char link[64];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        readFd = openFile(link, O_RDONLY);
    }
    for (long long s = offset / kSector; s <= (offset + length - 1) / kSector; ++s) {
        if (file.before.count(s))
            continue;
        std::string bytes(size_t(kSector), '\0');
        const ssize_t n = readFd >= 0 ? pread(readFd, &bytes[0], size_t(kSector), s * kSector) : 0;
        bytes.resize(size_t(n > 0 ? n : 0));
        file.before[s] = bytes;
    }
    if (readFd != fd && readFd >= 0)
        close(readFd);
}

FileState *trackedFile(int fd, struct stat *st)
{
    Key key;
    if (!keyOfFd(fd, &key, st) || !S_ISREG(st->st_mode))
        return nullptr;
    const auto it = g_files.find(key);
    return it == g_files.end() ? nullptr : &it->second;
}

void beforeWrite(int fd, long long offset, long long length, bool positioned)
{
    struct stat st;
    FileState *file = trackedFile(fd, &st);
    if (!file)
        return;
    count(KindWrite, "a write");
    const int flags = fcntl(fd, F_GETFL);
    if (!positioned)
        offset = (flags & O_APPEND) ? st.st_size : lseek(fd, 0, SEEK_CUR);
    rememberSectors(*file, fd, offset, length, flags);
}

// A sync of a tracked file makes its sectors and size durable, one of a directory its entries;
// the power may go right before it.
int syncTracked(int fd, int (*call)(int))
{
    struct stat st;
    Key key;
    if (!keyOfFd(fd, &key, &st))
        return call(fd);
    const bool isDir = S_ISDIR(st.st_mode);
    const auto file = g_files.find(key);
    if (isDir ? !isTrackedDir(key) : file == g_files.end())
        return call(fd);
    count(KindSync, isDir ? "a directory's fsync" : "a file's sync");
    const int rc = call(fd);
    if (rc != 0)
        return rc;
    if (!isDir) {
        file->second.before.clear();
        file->second.syncedSize = st.st_size;
        return rc;
    }
    std::vector<DirOp> left;
    for (DirOp &op : g_dirOps) {
        if (op.dir.dev == key.dev && op.dir.ino == key.ino) {
            if (!op.stash.empty())
                removeFile(op.stash.c_str());
        } else {
            left.push_back(op);
        }
    }
    g_dirOps.swap(left);
    return rc;
}

void track(const std::string &path, bool created)
{
    Key key;
    bool isDir = false;
    if (!keyOfPath(path, &key, &isDir))
        return;
    if (!isDir && !g_files.count(key)) {
        FileState file;
        file.path = path;
        struct stat st;
        file.syncedSize = !created && stat(path.c_str(), &st) == 0 ? st.st_size : 0;
        g_files[key] = file;
    }
    if (created) {
        Key dir;
        if (keyOfPath(parentOf(path), &dir)) {
            DirOp op;
            op.type = DirOp::Create;
            op.dir = dir;
            op.name = path;
            op.isDir = isDir;
            g_dirOps.push_back(op);
        }
    }
}

// Keeps the file at `path` by a link in the stash; returns the stash path, empty when none.
std::string stash(const std::string &path)
{
    Key key;
    bool isDir = false;
    if (!keyOfPath(path, &key, &isDir) || isDir)
        return std::string();
    const std::string target = g_stash + "/" + std::to_string(++g_stashed);
    if (sys().linkat(AT_FDCWD, path.c_str(), AT_FDCWD, target.c_str(), 0) != 0)
        return std::string();
    const auto it = g_files.find(key);
    if (it != g_files.end())
        it->second.path = target;
    return target;
}

void renamed(const std::string &from, const std::string &to)
{
    for (auto &entry : g_files) {
        std::string &p = entry.second.path;
        if (p == from || (p.compare(0, from.size(), from) == 0 && p[from.size()] == '/'))
            p = to + p.substr(from.size());
    }
}

void removeTree(const std::string &path)
{
    if (DIR *dir = opendir(path.c_str())) {
        while (const dirent *entry = readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                removeTree(path + "/" + entry->d_name);
        }
        closedir(dir);
        sys().unlinkat(AT_FDCWD, path.c_str(), AT_REMOVEDIR);
        return;
    }
    removeFile(path.c_str());
}

void undo(const DirOp &op)
{
    switch (op.type) {
    case DirOp::Create:
        if (op.isDir)
            removeTree(op.name);
        else
            removeFile(op.name.c_str());
        break;
    case DirOp::Remove:
        if (!op.stash.empty())
            moveFile(op.stash.c_str(), op.name.c_str());
        break;
    case DirOp::Rename:
        moveFile(op.name2.c_str(), op.name.c_str());
        if (!op.stash.empty())
            moveFile(op.stash.c_str(), op.name2.c_str());
        break;
    case DirOp::RemoveDir:
        sys().mkdirat(AT_FDCWD, op.name.c_str(), 0755);
        break;
    }
}

void say(const char *text)
{
    if (sys().write(STDERR_FILENO, text, std::strlen(text)) < 0)
        return;
}

// Puts the files into a state that the disk may hold after the power went, then ends the
// process. The mutex stays held: no other thread touches a file again.
void cut(const char *what)
{
    g_cut = true;
    std::mt19937 random(g_plan.seed);
    const auto keep = [&random]() { return g_plan.some && random() % 2 == 0; };
    long long sectors = 0, dropped = 0, files = 0;
    for (auto &entry : g_files) {
        FileState &file = entry.second;
        struct stat st;
        if (stat(file.path.c_str(), &st) != 0)
            continue;
        if (file.before.empty() && st.st_size == file.syncedSize)
            continue;
        const int fd = openFile(file.path.c_str(), O_WRONLY);
        if (fd < 0)
            continue;
        ++files;
        const bool keepSize = keep();
        for (const auto &sector : file.before) {
            ++sectors;
            if (keep())
                continue;
            ++dropped;
            std::string bytes = sector.second;
            // What lay beyond the synced end reads as zeros when the new size stays.
            const long long start = sector.first * kSector;
            const long long end = std::min<long long>(start + kSector, st.st_size);
            if (keepSize && end - start > (long long)bytes.size())
                bytes.resize(size_t(end - start), '\0');
            if (!bytes.empty() && sys().pwrite(fd, bytes.data(), bytes.size(), start) < 0)
                say("powercut: a sector could not be put back\n");
        }
        if (!keepSize && sys().ftruncate(fd, file.syncedSize) != 0)
            say("powercut: a size could not be put back\n");
        // Deliberately not closed: closing would drop the process's POSIX locks of the file.
    }
    // Each directory keeps a prefix of its unsynced entries (none when all are dropped).
    std::map<Key, size_t> total, kept, seen;
    for (const DirOp &op : g_dirOps)
        ++total[op.dir];
    for (const auto &entry : total)
        kept[entry.first] = g_plan.some ? random() % (entry.second + 1) : 0;
    std::vector<bool> undone(g_dirOps.size());
    for (size_t i = 0; i < g_dirOps.size(); ++i)
        undone[i] = seen[g_dirOps[i].dir]++ >= kept[g_dirOps[i].dir];
    long long entriesUndone = 0;
    for (size_t i = g_dirOps.size(); i-- > 0;) {
        if (undone[i]) {
            undo(g_dirOps[i]);
            ++entriesUndone;
        }
    }
    char text[320];
    std::snprintf(text, sizeof text,
                  "powercut: the power went before %s (operation %lld): %lld of %lld unsynced "
                  "sectors in %lld files and %lld of %zu unsynced directory entries dropped\n",
                  what, g_seenAny, dropped, sectors, files, entriesUndone, g_dirOps.size());
    say(text);
    if (const BeforeCut before = g_beforeCut.load())
        before();
    raise(SIGKILL);
}

struct Setup
{
    Setup()
    {
        const char *root = getenv("POWERCUT_ROOT");
        const char *stashDir = getenv("POWERCUT_STASH");
        char resolved[PATH_MAX];
        if (!root || !stashDir || !realpath(root, resolved))
            return;
        g_root = resolved;
        g_stash = stashDir;
        if (const char *plan = getenv("POWERCUT_PLAN")) {
            char point[16] = {}, drop[16] = {};
            if (std::sscanf(plan, "%15[a-z]:%lld:%15[a-z]:%u", point, &g_plan.nth, drop,
                            &g_plan.seed) == 4) {
                const std::string p = point;
                g_plan.kind = p == "write"    ? KindWrite
                              : p == "sync"   ? KindSync
                              : p == "remove" ? KindRemove
                                              : -1;
                g_plan.some = std::strcmp(drop, "some") == 0;
            }
        }
        g_ready = true;
    }
    ~Setup()
    {
        if (!g_ready || g_cut)
            return;
        char text[200];
        std::snprintf(text, sizeof text,
                      "powercut: no cut; %lld operations: %lld writes, %lld syncs, %lld removals, "
                      "%lld other\n",
                      g_seenAny, g_seen[KindWrite], g_seen[KindSync], g_seen[KindRemove],
                      g_seen[KindOther]);
        say(text);
    }
} g_setup;

int openTracked(int dirFd, const char *path, int flags, mode_t mode,
                int (*call)(int, const char *, int, mode_t))
{
    const std::string full = absolutePath(dirFd, path);
    if (!underRoot(full))
        return call(dirFd, path, flags, mode);
    std::lock_guard<std::mutex> lock(g_mutex);
    struct stat st;
    const bool existed = lstat(full.c_str(), &st) == 0;
    if ((flags & O_CREAT) && !existed)
        count(KindOther, "a file's creation");
    // A truncation at the open drops the file's bytes: what they were is kept.
    if ((flags & O_TRUNC) && existed && S_ISREG(st.st_mode)) {
        track(full, false);
        const auto it = g_files.find(Key{st.st_dev, st.st_ino});
        const int readFd = openFile(full.c_str(), O_RDONLY);
        if (it != g_files.end() && readFd >= 0)
            rememberSectors(it->second, readFd, 0, st.st_size, O_RDONLY);
        if (readFd >= 0)
            close(readFd);
    }
    const int fd = call(dirFd, path, flags, mode);
    if (fd >= 0)
        track(full, (flags & O_CREAT) && !existed);
    return fd;
}

int callOpenat(int dirFd, const char *path, int flags, mode_t mode)
{
    return sys().openat(dirFd, path, flags, mode);
}

mode_t modeOf(int flags, va_list args)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? mode_t(va_arg(args, int)) : 0;
}

int removeTracked(int dirFd, const char *path, int atFlags)
{
    const std::string full = absolutePath(dirFd, path);
    if (!underRoot(full))
        return sys().unlinkat(dirFd, path, atFlags);
    std::lock_guard<std::mutex> lock(g_mutex);
    count(KindRemove, "a removal");
    Key dir;
    const bool hasDir = keyOfPath(parentOf(full), &dir);
    DirOp op;
    op.dir = dir;
    op.name = full;
    if (atFlags & AT_REMOVEDIR) {
        op.type = DirOp::RemoveDir;
    } else {
        op.type = DirOp::Remove;
        op.stash = stash(full);
    }
    const int rc = sys().unlinkat(dirFd, path, atFlags);
    const int error = errno;
    if (rc == 0 && hasDir)
        g_dirOps.push_back(op);
    else if (!op.stash.empty())
        removeFile(op.stash.c_str());
    errno = error;
    return rc;
}

int renameTracked(int fromFd, const char *from, int toFd, const char *to, unsigned flags)
{
    const std::string source = absolutePath(fromFd, from), target = absolutePath(toFd, to);
    if (!underRoot(source) && !underRoot(target))
        return sys().renameat2(fromFd, from, toFd, to, flags);
    std::lock_guard<std::mutex> lock(g_mutex);
    count(KindRemove, "a rename");
    Key dir;
    const bool hasDir = keyOfPath(parentOf(target), &dir);
    DirOp op;
    op.type = DirOp::Rename;
    op.dir = dir;
    op.name = source;
    op.name2 = target;
    op.stash = stash(target);
    const int rc = sys().renameat2(fromFd, from, toFd, to, flags);
    const int error = errno;
    if (rc == 0 && hasDir) {
        renamed(source, target);
        g_dirOps.push_back(op);
    } else if (!op.stash.empty()) {
        removeFile(op.stash.c_str());
    }
    errno = error;
    return rc;
}

} // namespace

extern "C" {

void powercut_set_before_cut(BeforeCut callback)
{
    g_beforeCut = callback;
}

int open(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    return openTracked(AT_FDCWD, path, flags, mode, callOpenat);
}
int open64(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    return openTracked(AT_FDCWD, path, flags, mode, callOpenat);
}
int openat(int dirFd, const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    return openTracked(dirFd, path, flags, mode, callOpenat);
}
int openat64(int dirFd, const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    return openTracked(dirFd, path, flags, mode, callOpenat);
}
int __open_2(const char *path, int flags)
{
    return openTracked(AT_FDCWD, path, flags, 0, callOpenat);
}
int __open64_2(const char *path, int flags)
{
    return openTracked(AT_FDCWD, path, flags, 0, callOpenat);
}
int __openat_2(int dirFd, const char *path, int flags)
{
    return openTracked(dirFd, path, flags, 0, callOpenat);
}
int __openat64_2(int dirFd, const char *path, int flags)
{
    return openTracked(dirFd, path, flags, 0, callOpenat);
}

ssize_t write(int fd, const void *buf, size_t n)
{
    if (!g_ready || fd <= STDERR_FILENO)
        return sys().write(fd, buf, n);
    std::lock_guard<std::mutex> lock(g_mutex);
    beforeWrite(fd, 0, (long long)n, false);
    return sys().write(fd, buf, n);
}
ssize_t pwrite(int fd, const void *buf, size_t n, off_t offset)
{
    if (!g_ready)
        return sys().pwrite(fd, buf, n, offset);
    std::lock_guard<std::mutex> lock(g_mutex);
    beforeWrite(fd, offset, (long long)n, true);
    return sys().pwrite(fd, buf, n, offset);
}
ssize_t pwrite64(int fd, const void *buf, size_t n, off64_t offset)
{
    if (!g_ready)
        return sys().pwrite64(fd, buf, n, offset);
    std::lock_guard<std::mutex> lock(g_mutex);
    beforeWrite(fd, offset, (long long)n, true);
    return sys().pwrite64(fd, buf, n, offset);
}
ssize_t writev(int fd, const struct iovec *iov, int count)
{
    if (!g_ready || fd <= STDERR_FILENO)
        return sys().writev(fd, iov, count);
    std::lock_guard<std::mutex> lock(g_mutex);
    long long n = 0;
    for (int i = 0; i < count; ++i)
        n += (long long)iov[i].iov_len;
    beforeWrite(fd, 0, n, false);
    return sys().writev(fd, iov, count);
}

int ftruncate(int fd, off_t size)
{
    if (!g_ready)
        return sys().ftruncate(fd, size);
    std::lock_guard<std::mutex> lock(g_mutex);
    struct stat st;
    if (FileState *file = trackedFile(fd, &st)) {
        count(KindWrite, "a truncation");
        if (size < st.st_size)
            rememberSectors(*file, fd, size, st.st_size - size, fcntl(fd, F_GETFL));
    }
    return sys().ftruncate(fd, size);
}
int ftruncate64(int fd, off64_t size)
{
    return ftruncate(fd, off_t(size));
}

int fsync(int fd)
{
    if (!g_ready)
        return sys().fsync(fd);
    std::lock_guard<std::mutex> lock(g_mutex);
    return syncTracked(fd, sys().fsync);
}
int fdatasync(int fd)
{
    if (!g_ready)
        return sys().fdatasync(fd);
    std::lock_guard<std::mutex> lock(g_mutex);
    return syncTracked(fd, sys().fdatasync);
}

int unlink(const char *path)
{
    return removeTracked(AT_FDCWD, path, 0);
}
int unlinkat(int dirFd, const char *path, int flags)
{
    return removeTracked(dirFd, path, flags);
}
int rmdir(const char *path)
{
    return removeTracked(AT_FDCWD, path, AT_REMOVEDIR);
}
int rename(const char *from, const char *to)
{
    return renameTracked(AT_FDCWD, from, AT_FDCWD, to, 0);
}
int renameat(int fromFd, const char *from, int toFd, const char *to)
{
    return renameTracked(fromFd, from, toFd, to, 0);
}
int renameat2(int fromFd, const char *from, int toFd, const char *to, unsigned flags)
{
    return renameTracked(fromFd, from, toFd, to, flags);
}

int mkdirat(int dirFd, const char *path, mode_t mode)
{
    const std::string full = absolutePath(dirFd, path);
    if (!underRoot(full))
        return sys().mkdirat(dirFd, path, mode);
    std::lock_guard<std::mutex> lock(g_mutex);
    count(KindOther, "a directory's creation");
    const int rc = sys().mkdirat(dirFd, path, mode);
    if (rc == 0)
        track(full, true);
    return rc;
}
int mkdir(const char *path, mode_t mode)
{
    return mkdirat(AT_FDCWD, path, mode);
}

int linkat(int fromFd, const char *from, int toFd, const char *to, int flags)
{
    const std::string target = absolutePath(toFd, to);
    if (!underRoot(target))
        return sys().linkat(fromFd, from, toFd, to, flags);
    std::lock_guard<std::mutex> lock(g_mutex);
    count(KindOther, "a link");
    const int rc = sys().linkat(fromFd, from, toFd, to, flags);
    if (rc == 0)
        track(target, true);
    return rc;
}
int link(const char *from, const char *to)
{
    return linkat(AT_FDCWD, from, AT_FDCWD, to, 0);
}

} // extern "C"
