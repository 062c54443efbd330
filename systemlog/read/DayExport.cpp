#include "DayExport.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace SystemLog {

namespace {

// Gives the new file at `temp` the name `target` unless something has that name: in one step
// where the file system can (renameat2), else as a second link, which fails the same way.
bool placeNew(const QByteArray &temp, const QByteArray &target)
{
    if (::renameat2(AT_FDCWD, temp.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) ==
        0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    if (::link(temp.constData(), target.constData()) != 0)
        return false;
    ::unlink(temp.constData());
    return true;
}

// The name under which the open file `fd` is reached, for linkat() of a file without a name.
QByteArray procPath(int fd)
{
    return "/proc/self/fd/" + QByteArray::number(fd);
}

// A file of no name in the directory of `target`, which the system removes however the process
// ends (killed mid-write too), until it is given a name; -1 where the file system or a missing
// /proc cannot make or name one.
int openUnnamed(const QByteArray &target)
{
    if (::access("/proc/self/fd", X_OK) != 0)
        return -1;
    const QByteArray dir = QFile::encodeName(QFileInfo(QFile::decodeName(target)).path());
    return ::open(dir.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
}

} // namespace

QString DayExport::filePath(const QString &dir, const QString &day, const QString &suffix)
{
    return QDir(dir).filePath(day + QString::fromUtf8("系统日志") + suffix);
}

void DayExport::appendRecord(std::string &out, std::string_view stamp, std::string_view message)
{
    out.append(stamp);
    out += ":\n";
    out.append(message);
    out += '\n';
}

void DayExport::appendRecord(std::string &out, const LogRow &row)
{
    const QByteArray stamp = row.first.toUtf8();
    const QByteArray message = row.second.toUtf8();
    appendRecord(out, std::string_view(stamp.constData(), static_cast<size_t>(stamp.size())),
                 std::string_view(message.constData(), static_cast<size_t>(message.size())));
}

DayExport::DayExport(const QString &path) : m_path(path) {}

DayExport::~DayExport()
{
    cancel();
}

bool DayExport::open()
{
    cancel();
    const QByteArray target = QFile::encodeName(m_path);
    // An earlier export keeps its permissions; a link at the name says nothing about them.
    struct stat earlier;
    const bool replacesFile =
        ::lstat(target.constData(), &earlier) == 0 && S_ISREG(earlier.st_mode);
    const int unnamed = openUnnamed(target);
    if (unnamed >= 0) {
        if (replacesFile)
            ::fchmod(unnamed, earlier.st_mode & 07777);
        if (m_file.open(unnamed, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle))
            return true;
        ::close(unnamed);
        return fail(0);
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString temp = QStringLiteral("%1.%2").arg(m_path).arg(
            QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0'));
        // A new file of this process alone: never an existing file or a link.
        const int fd = ::open(QFile::encodeName(temp).constData(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            m_error = QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        if (replacesFile)
            ::fchmod(fd, earlier.st_mode & 07777);
        m_tempPath = temp;
        if (!m_file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
            ::close(fd);
            return fail(0);
        }
        return true;
    }
    m_error = QString::fromLocal8Bit(std::strerror(EEXIST));
    return false;
}

bool DayExport::write(std::string_view bytes)
{
    errno = 0;
    const qint64 size = static_cast<qint64>(bytes.size());
    if (m_file.isOpen() && m_file.write(bytes.data(), size) == size)
        return true;
    return fail(errno);
}

bool DayExport::commit()
{
    return finish(true);
}

bool DayExport::commitNew()
{
    return finish(false);
}

bool DayExport::finish(bool replace)
{
    // The last buffered bytes are written out and on the disk before the new file takes the
    // name: a file whose final bytes could not be written never replaces the earlier one.
    errno = 0;
    if (!m_file.isOpen() || !m_file.flush())
        return fail(errno);
    if (::fsync(m_file.handle()) != 0)
        return fail(errno);
    const QByteArray target = QFile::encodeName(m_path);
    if (m_tempPath.isEmpty()) {
        // A file of no name: linked at the name (which fails where anything is there), or
        // for a replacement at a name of its own first, then renamed over the target.
        const QByteArray unnamed = procPath(m_file.handle());
        if (!replace) {
            if (::linkat(AT_FDCWD, unnamed.constData(), AT_FDCWD, target.constData(),
                         AT_SYMLINK_FOLLOW) != 0)
                return fail(errno);
            m_file.close();
            return true;
        }
        for (int attempt = 0; m_tempPath.isEmpty(); ++attempt) {
            const QString temp = QStringLiteral("%1.%2").arg(m_path).arg(
                QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0'));
            if (::linkat(AT_FDCWD, unnamed.constData(), AT_FDCWD,
                         QFile::encodeName(temp).constData(), AT_SYMLINK_FOLLOW) == 0)
                m_tempPath = temp;
            else if (errno != EEXIST || attempt == 100)
                return fail(errno);
        }
    }
    m_file.close();
    const QByteArray temp = QFile::encodeName(m_tempPath);
    // rename() replaces the directory entry itself: a link at the name is replaced, not
    // followed.
    if (replace && std::rename(temp.constData(), target.constData()) != 0)
        return fail(errno);
    if (!replace && !placeNew(temp, target))
        return fail(errno);
    m_tempPath.clear();
    return true;
}

void DayExport::cancel()
{
    if (m_file.isOpen())
        m_file.close();
    if (!m_tempPath.isEmpty()) {
        ::unlink(QFile::encodeName(m_tempPath).constData());
        m_tempPath.clear();
    }
}

bool DayExport::fail(int savedErrno)
{
    m_error = m_file.errorString();
    // A short write leaves the device without an error text of its own; the system's reason is
    // in errno.
    if (savedErrno != 0 &&
        (m_error.isEmpty() || m_error == QLatin1String("Unknown error") || !m_file.isOpen()))
        m_error = QString::fromLocal8Bit(std::strerror(savedErrno));
    cancel();
    return false;
}

} // namespace SystemLog
