#include "spill/SegmentWriter.h"

#include "spill/SpillDir.h"
#include "spill/SpillFormat.h"
#include "spill/SpillIo.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace SystemLog::Spill {

namespace {

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, '\0');
    QRandomGenerator::system()->generate(reinterpret_cast<quint32 *>(bytes.data()),
                                         reinterpret_cast<quint32 *>(bytes.data() + size));
    return bytes;
}

QString stepFailed(const char *step, int error)
{
    return QStringLiteral("cannot %1 a spill segment: %2")
        .arg(QLatin1String(step), QString::fromLocal8Bit(std::strerror(error)));
}

} // namespace

SegmentWriter::~SegmentWriter()
{
    close();
}

int SegmentWriter::create(QString *why)
{
    if (m_fd >= 0)
        return 0;
    Header header{randomBytes(kSaltSize), randomBytes(kIdSize)};
    const QString id = QString::fromLatin1(header.id.toHex());
    const QByteArray temporary = QFile::encodeName(QStringLiteral(".%1.new").arg(id));
    const QByteArray final = QFile::encodeName(QStringLiteral("%1.spill").arg(id));
    const int fd = ::openat(m_dir.fd(), temporary.constData(),
                            O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) {
        *why = stepFailed("create", errno);
        return errno;
    }
    const auto fail = [&](const char *step, int error) {
        ::unlinkat(m_dir.fd(), temporary.constData(), 0);
        ::close(fd);
        *why = stepFailed(step, error);
        return error;
    };
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return fail("lock", errno);
    const QByteArray bytes = encodeHeader(header);
    if (const int error = spillWrite(fd, bytes.constData(), std::size_t(bytes.size())))
        return fail("write", error);
    if (const int error = spillSync(fd))
        return fail("sync", error);
    if (::renameat(m_dir.fd(), temporary.constData(), m_dir.fd(), final.constData()) != 0)
        return fail("name", errno);
    if (const int error = m_dir.sync()) {
        // Named but perhaps not durably: it holds no record yet, and goes.
        ::unlinkat(m_dir.fd(), final.constData(), 0);
        ::close(fd);
        *why = stepFailed("sync the directory of", error);
        return error;
    }
    m_fd = fd;
    m_name = QFile::decodeName(final);
    m_seed = frameSeed(header.salt);
    m_size = kHeaderSize;
    m_broken = false;
    return 0;
}

int SegmentWriter::append(const QByteArray &frames)
{
    if (m_fd < 0 || m_broken)
        return EBADF;
    int error = spillWrite(m_fd, frames.constData(), std::size_t(frames.size()));
    if (error == 0)
        error = spillSync(m_fd);
    if (error == 0) {
        m_size += frames.size();
        return 0;
    }
    // Whatever part of the batch reached the file goes again, so that the records, which stay
    // with the caller, are never in the segment as well.
    if (::ftruncate(m_fd, m_size) != 0 || ::lseek(m_fd, m_size, SEEK_SET) != m_size)
        m_broken = true;
    return error;
}

int SegmentWriter::remove()
{
    if (m_fd < 0)
        return 0;
    if (::unlinkat(m_dir.fd(), QFile::encodeName(m_name).constData(), 0) != 0 && errno != ENOENT)
        return errno;
    const int error = m_dir.sync();
    close();
    return error;
}

void SegmentWriter::close()
{
    if (m_fd >= 0)
        ::close(m_fd); // ends the lock
    m_fd = -1;
    m_name.clear();
    m_size = 0;
    m_broken = false;
}

} // namespace SystemLog::Spill
