#include "CursorFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

// A cursor file holds a few bytes; anything much larger is not one.
constexpr qint64 kMaxCursorBytes = 64;

} // namespace

CursorFile::CursorFile(const QString &path) : m_path(path) {}

CursorFile::~CursorFile()
{
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

bool CursorFile::lock(QString *error)
{
    const QString lockPath = m_path + QStringLiteral(".lock");
    const int fd = ::open(QFile::encodeName(lockPath).constData(),
                          O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        *error = QStringLiteral("cannot make the lock %1: %2")
                     .arg(lockPath, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int failure = errno;
        char pid[32] = {};
        const ssize_t got = ::pread(fd, pid, sizeof pid - 1, 0);
        ::close(fd);
        const QByteArray holder = QByteArray(pid, got > 0 ? int(got) : 0).trimmed();
        *error = failure == EWOULDBLOCK
                     ? QStringLiteral("in use by process %1 (one cursor file serves one forwarder "
                                      "or follower; it holds %2)")
                           .arg(holder.isEmpty() ? QStringLiteral("(unknown)")
                                                 : QString::fromLatin1(holder),
                                lockPath)
                     : QStringLiteral("cannot lock %1: %2")
                           .arg(lockPath, QString::fromLocal8Bit(std::strerror(failure)));
        return false;
    }
    // The holder's process id, for the one that is refused.
    const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.constData(), size_t(pid.size()), 0) < 0) {
        // The lock holds all the same; only the pid for another's message is missing.
    }
    m_lockFd = fd;
    return true;
}

bool CursorFile::load(qint64 *lastId, bool *exists, QString *error)
{
    *lastId = 0;
    QFile file(m_path);
    if (!file.exists()) {
        *exists = false;
        return true;
    }
    *exists = true;
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return false;
    }
    const QByteArray bytes = file.read(kMaxCursorBytes + 1);
    if (file.error() != QFileDevice::NoError) {
        *error = file.errorString();
        return false;
    }
    QByteArray text = bytes;
    if (text.endsWith('\n'))
        text.chop(1);
    // Ids of other programs may be 0 or below: a minus sign may lead.
    const QByteArray digits = text.startsWith('-') ? text.mid(1) : text;
    bool ok = !digits.isEmpty() && bytes.size() <= kMaxCursorBytes;
    for (const char c : digits)
        ok = ok && c >= '0' && c <= '9';
    const qint64 id = ok ? text.toLongLong(&ok) : 0;
    if (!ok) {
        *error = QStringLiteral("not a cursor file (it holds the id of the last delivered "
                                "record and a newline)");
        return false;
    }
    *lastId = id;
    return true;
}

bool CursorFile::save(qint64 lastId, QString *error)
{
    QSaveFile file(m_path);
    const QByteArray text = QByteArray::number(lastId) + '\n';
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        *error = file.errorString();
        file.cancelWriting();
        return false;
    }
    return true;
}
