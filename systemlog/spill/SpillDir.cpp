#include "spill/SpillDir.h"

#include "service/LogQueueEntry.h"
#include "spill/SpillIo.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace SystemLog::Spill {

namespace {

const QRegularExpression &segmentPattern()
{
    static const QRegularExpression pattern(QStringLiteral("^[0-9a-f]{32}\\.spill$"));
    return pattern;
}

const QRegularExpression &unfinishedPattern()
{
    static const QRegularExpression pattern(QStringLiteral("^\\.[0-9a-f]{32}\\.new$"));
    return pattern;
}

const QRegularExpression &takenMarkPattern()
{
    static const QRegularExpression pattern(QStringLiteral("^[0-9a-f]{32}\\.spill\\.taken$"));
    return pattern;
}

int syncDirectoryOf(const QString &path)
{
    const QString parent = QFileInfo(path).absolutePath();
    const int fd =
        ::open(QFile::encodeName(parent).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int error = spillDirSync(fd);
    ::close(fd);
    return error;
}

// A free name "<base>.bad-<stamp>[-n]" beside `base` (relative to `dirFd`, or to the working
// directory with AT_FDCWD).
QString asideName(int dirFd, const QString &base)
{
    const QString stamp = asideStamp();
    QString target = QStringLiteral("%1.bad-%2").arg(base, stamp);
    struct stat st;
    for (int n = 2;
         ::fstatat(dirFd, QFile::encodeName(target).constData(), &st, AT_SYMLINK_NOFOLLOW) == 0;
         ++n)
        target = QStringLiteral("%1.bad-%2-%3").arg(base, stamp).arg(n);
    return target;
}

} // namespace

QString asideStamp()
{
    // Through the service's own stamp, which reads the zone in turn with the threads that log.
    QByteArray local = localStampText(LogQueueEntry::currentSecond());
    return QString::fromLatin1(local.replace('-', "").replace(':', "").replace(' ', '-'));
}

SpillDir::~SpillDir()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool SpillDir::exists() const
{
    struct stat st;
    return ::lstat(QFile::encodeName(m_path).constData(), &st) == 0;
}

int SpillDir::open(bool create, QString *why)
{
    if (m_fd >= 0)
        return 0;
    const QByteArray native = QFile::encodeName(m_path);
    for (int attempt = 0; attempt < 3; ++attempt) {
        m_fd = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (m_fd >= 0)
            return 0;
        const int error = errno;
        if (error == ENOENT) {
            if (!create)
                return error;
            if (::mkdir(native.constData(), 0777) != 0 && errno != EEXIST) {
                *why = QStringLiteral("cannot make %1: %2")
                           .arg(m_path, QString::fromLocal8Bit(std::strerror(errno)));
                return errno;
            }
            if (const int syncError = syncDirectoryOf(m_path)) {
                *why = QStringLiteral("cannot sync the directory of %1: %2")
                           .arg(m_path, QString::fromLocal8Bit(std::strerror(syncError)));
                return syncError;
            }
            continue;
        }
        if ((error == ENOTDIR || error == ELOOP) && create) {
            // A file or a link where the journal belongs: never written through, kept as it is.
            const QString target = asideName(AT_FDCWD, m_path);
            if (::rename(native.constData(), QFile::encodeName(target).constData()) == 0) {
                std::fprintf(stderr,
                             "SystemLog: %s is not the spill journal's directory: set aside as "
                             "%s\n",
                             qUtf8Printable(m_path), qUtf8Printable(target));
                continue;
            }
        }
        *why = QStringLiteral("cannot open %1: %2")
                   .arg(m_path, QString::fromLocal8Bit(std::strerror(error)));
        return error;
    }
    *why = QStringLiteral("cannot open %1").arg(m_path);
    return EAGAIN;
}

int SpillDir::sync()
{
    return m_fd >= 0 ? spillDirSync(m_fd) : EBADF;
}

bool SpillDir::isSegmentName(const QString &name)
{
    return segmentPattern().match(name).hasMatch();
}

QStringList SpillDir::namesMatching(const QRegularExpression &pattern) const
{
    QStringList names;
    if (m_fd < 0)
        return names;
    // A directory stream of its own, on a duplicate: reading it moves the offset.
    const int fd = ::openat(m_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return names;
    DIR *dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return names;
    }
    while (const dirent *entry = ::readdir(dir)) {
        const QString name = QFile::decodeName(entry->d_name);
        if (pattern.match(name).hasMatch())
            names << name;
    }
    ::closedir(dir);
    names.sort();
    return names;
}

QStringList SpillDir::segmentNames() const
{
    return namesMatching(segmentPattern());
}

QStringList SpillDir::unfinishedNames() const
{
    return namesMatching(unfinishedPattern());
}

QStringList SpillDir::takenMarkNames() const
{
    return namesMatching(takenMarkPattern());
}

int SpillDir::remove(const QString &name)
{
    if (::unlinkat(m_fd, QFile::encodeName(name).constData(), 0) != 0)
        return errno;
    return sync();
}

bool SpillDir::setAside(const QString &name, const QString &why)
{
    const QString target = asideName(m_fd, name);
    if (::renameat(m_fd, QFile::encodeName(name).constData(), m_fd,
                   QFile::encodeName(target).constData()) != 0) {
        std::fprintf(stderr, "SystemLog: %s is not a spill segment (%s) and cannot be set aside\n",
                     qUtf8Printable(filePath(name)), qUtf8Printable(why));
        return false;
    }
    sync();
    std::fprintf(stderr, "SystemLog: %s is not a spill segment (%s): set aside as %s\n",
                 qUtf8Printable(filePath(name)), qUtf8Printable(why),
                 qUtf8Printable(filePath(target)));
    return true;
}

bool SpillDir::space(qint64 *available, qint64 *total) const
{
    struct statvfs st;
    if (m_fd < 0 || ::fstatvfs(m_fd, &st) != 0)
        return false;
    *available = qint64(st.f_bavail) * qint64(st.f_frsize);
    *total = qint64(st.f_blocks) * qint64(st.f_frsize);
    return true;
}

} // namespace SystemLog::Spill
