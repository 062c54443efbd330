#include "spill/TakenMark.h"

#include "spill/SpillDir.h"
#include "spill/SpillIo.h"

#include <QFile>
#include <QStringList>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace SystemLog::Spill {

namespace {

const char kSuffix[] = ".taken";
constexpr int kMarkBytes = 16;

QByteArray markName(const QString &segment)
{
    return QFile::encodeName(segment + QLatin1String(kSuffix));
}

void putLittleEndian(unsigned char *out, std::uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        out[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::uint64_t getLittleEndian(const unsigned char *in)
{
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | in[i];
    return value;
}

} // namespace

qint64 readTakenMark(int dirFd, const QString &segment)
{
    const int fd = ::openat(dirFd, markName(segment).constData(),
                            O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return 0;
    unsigned char bytes[kMarkBytes];
    const ssize_t got = ::pread(fd, bytes, sizeof bytes, 0);
    ::close(fd);
    if (got != kMarkBytes)
        return 0;
    const std::uint64_t offset = getLittleEndian(bytes);
    if (getLittleEndian(bytes + 8) != ~offset || offset > std::uint64_t(INT64_MAX))
        return 0;
    return qint64(offset);
}

int writeTakenMark(SpillDir &dir, const QString &segment, qint64 offset)
{
    const QByteArray name = markName(segment);
    bool created = false;
    int fd = ::openat(dir.fd(), name.constData(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 && errno == ENOENT) {
        fd = ::openat(dir.fd(), name.constData(),
                      O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        created = fd >= 0;
    }
    if (fd < 0)
        return errno;
    unsigned char bytes[kMarkBytes];
    putLittleEndian(bytes, std::uint64_t(offset));
    putLittleEndian(bytes + 8, ~std::uint64_t(offset));
    // One write of 16 bytes at the start of the file: whole or not at all, in practice; a
    // torn one does not check out and counts as no mark.
    int error = ::lseek(fd, 0, SEEK_SET) == 0 ? spillWrite(fd, bytes, sizeof bytes) : errno;
    if (error == 0)
        error = spillSync(fd);
    ::close(fd);
    if (error == 0 && created)
        error = dir.sync();
    return error;
}

void removeTakenMark(int dirFd, const QString &segment)
{
    ::unlinkat(dirFd, markName(segment).constData(), 0);
}

void removeStrayTakenMarks(SpillDir &dir)
{
    for (const QString &name : dir.takenMarkNames()) {
        const QString segment = name.left(name.size() - int(std::strlen(kSuffix)));
        struct stat st;
        if (::fstatat(dir.fd(), QFile::encodeName(segment).constData(), &st, AT_SYMLINK_NOFOLLOW) !=
                0 &&
            errno == ENOENT)
            removeTakenMark(dir.fd(), segment);
    }
}

} // namespace SystemLog::Spill
