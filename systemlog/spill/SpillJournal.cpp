#include "spill/SpillJournal.h"

#include "service/MonotonicClock.h"
#include "spill/OwnedFd.h"
#include "spill/SegmentReader.h"
#include "spill/SpillFormat.h"
#include "spill/TakenMark.h"

#include <QElapsedTimer>
#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace SystemLog {

using Spill::SegmentMove;

namespace {

// Frames of at most this many bytes go in one write (a larger record alone).
constexpr int kWriteChunkBytes = 8 << 20;
// The sizes of other processes' segments are looked at again after this long.
constexpr qint64 kOthersSizeCheckMs = 1000;

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

void addUp(SegmentMove &total, const SegmentMove &part)
{
    total.moved += part.moved;
    total.rejected += part.rejected;
    if (!total.rejection.isValid())
        total.rejection = part.rejection;
    total.skipped += part.skipped;
    total.state = part.state;
    total.error = part.error;
    total.logMoved = part.logMoved;
}

} // namespace

SpillJournal::SpillJournal(const QString &path) : m_dir(path) {}

SpillJournal::~SpillJournal() = default;

void SpillJournal::setLimits(qint64 maxBytes, int keepFreePercent)
{
    m_maxBytes = maxBytes;
    m_keepFreePercent = qBound(0, keepFreePercent, 100);
}

int SpillJournal::openOwn(QString *why)
{
    if (m_writer.isOpen() && !m_writer.broken())
        return 0;
    if (m_writer.isOpen())
        return EIO; // its records are moved first; a new segment follows its removal
    if (const int error = m_dir.open(true, why))
        return error;
    const int error = m_writer.create(why);
    if (error == 0)
        m_ownMovedTo = m_writer.size();
    return error;
}

qint64 SpillJournal::othersBytes()
{
    const qint64 now = monotonicMs();
    if (m_othersBytesAtMs >= 0 && now - m_othersBytesAtMs < kOthersSizeCheckMs)
        return m_othersBytes;
    m_othersBytes = 0;
    for (const QString &name : m_dir.segmentNames()) {
        struct stat st;
        if (name != m_writer.name() && ::fstatat(m_dir.fd(), QFile::encodeName(name).constData(),
                                                 &st, AT_SYMLINK_NOFOLLOW) == 0)
            m_othersBytes += qint64(st.st_size);
    }
    m_othersBytesAtMs = now;
    return m_othersBytes;
}

bool SpillJournal::withinBound(qint64 more, QString *why)
{
    if (m_writer.size() + othersBytes() + more > m_maxBytes) {
        *why = QStringLiteral("%1 is full: it takes at most %2 MiB")
                   .arg(m_dir.path())
                   .arg(m_maxBytes / (1024 * 1024));
        return false;
    }
    qint64 available = 0;
    qint64 total = 0;
    if (m_dir.space(&available, &total) &&
        (available - more) * 100 < total * qint64(m_keepFreePercent)) {
        *why = QStringLiteral("%1 is full: it leaves at least %2 % of the file system free")
                   .arg(m_dir.path())
                   .arg(m_keepFreePercent);
        return false;
    }
    return true;
}

int SpillJournal::append(std::list<LogQueueEntry>::const_iterator first,
                         std::list<LogQueueEntry>::const_iterator last, QString *why)
{
    int appended = 0;
    QByteArray frames;
    while (first != last) {
        if (const int error = openOwn(why)) {
            if (why->isEmpty())
                *why = errnoText(error);
            return appended;
        }
        frames.clear();
        int count = 0;
        auto it = first;
        for (; it != last && (count == 0 || frames.size() < kWriteChunkBytes); ++it, ++count) {
            Spill::appendFrame(
                frames, m_writer.seed(),
                {it->loggedAt, it->type,
                 std::string_view(it->stamp.constData(), size_t(it->stamp.size())),
                 std::string_view(it->message.constData(), size_t(it->message.size()))});
        }
        if (!withinBound(frames.size(), why))
            return appended;
        if (const int error = m_writer.append(frames)) {
            *why = QStringLiteral("cannot write %1: %2")
                       .arg(m_dir.filePath(m_writer.name()), errnoText(error));
            return appended;
        }
        appended += count;
        first = it;
    }
    return appended;
}

bool SpillJournal::ownWaiting() const
{
    return m_writer.isOpen() && m_ownMovedTo < m_writer.size();
}

void SpillJournal::removeOwn(sqlite3 *db)
{
    const QString name = m_writer.name();
    // The marks go only once the removal is durable; a mark left behind is dropped later.
    if (m_writer.remove() == 0 && !m_writer.isOpen()) {
        Spill::removeTakenMark(m_dir.fd(), name);
        if (Spill::dropMark(db, name) != 0)
            m_staleMarksChecked = false;
    }
}

SegmentMove SpillJournal::moveOwn(sqlite3 *db, int budgetMs)
{
    SegmentMove move;
    move.state = SegmentMove::State::Done;
    if (!m_writer.isOpen())
        return move;
    if (m_ownMovedTo < m_writer.size()) {
        const QString name = m_writer.name();
        move = Spill::moveSegment(db, m_dir, name, m_writer.fd(), m_writer.size(), budgetMs);
        saySkipped(name, move);
        if (move.state != SegmentMove::State::Done)
            return move;
        m_ownMovedTo = m_writer.size();
    }
    removeOwn(db);
    return move;
}

SegmentMove SpillJournal::moveOthers(sqlite3 *db, int budgetMs)
{
    SegmentMove total;
    total.state = SegmentMove::State::Done;
    QString why;
    if (!m_dir.isOpen() && (!m_dir.exists() || m_dir.open(false, &why) != 0))
        return total;
    if (!m_staleMarksChecked)
        m_staleMarksChecked = Spill::dropStaleMarks(db, m_dir) == 0;
    Spill::removeStrayTakenMarks(m_dir);
    QElapsedTimer clock;
    clock.start();
    for (const QString &name : m_dir.segmentNames()) {
        if (name == m_writer.name())
            continue;
        const int left = budgetMs > 0 ? qMax(1, budgetMs - int(clock.elapsed())) : 0;
        addUp(total, moveOther(db, name, left));
        if (total.state != SegmentMove::State::Done)
            return total;
    }
    // A creation that never ended holds no record: it goes once its creator has.
    for (const QString &name : m_dir.unfinishedNames()) {
        OwnedFd file;
        file.fd = ::openat(m_dir.fd(), QFile::encodeName(name).constData(),
                           O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (file.fd >= 0 && ::flock(file.fd, LOCK_EX | LOCK_NB) == 0)
            m_dir.remove(name);
    }
    return total;
}

SegmentMove SpillJournal::moveOther(sqlite3 *db, const QString &name, int budgetMs)
{
    SegmentMove move;
    move.state = SegmentMove::State::Done;
    const QByteArray native = QFile::encodeName(name);
    OwnedFd file;
    file.fd =
        ::openat(m_dir.fd(), native.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    struct stat st;
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0) {
        if (errno == ELOOP)
            m_dir.setAside(name, QStringLiteral("a symbolic link"));
        return move;
    }
    if (!S_ISREG(st.st_mode)) {
        m_dir.setAside(name, QStringLiteral("not a regular file"));
        return move;
    }
    // The owner lives (or another service moves it) while the lock is taken.
    if (::flock(file.fd, LOCK_EX | LOCK_NB) != 0)
        return move;
    // Another service may have moved and removed it between the open and the lock.
    struct stat now;
    if (::fstat(file.fd, &st) != 0 || st.st_nlink == 0 ||
        ::fstatat(m_dir.fd(), native.constData(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
        now.st_ino != st.st_ino || now.st_dev != st.st_dev)
        return move;
    const Spill::SegmentReader header(file.fd);
    if (header.header() == Spill::HeaderCheck::NotASegment) {
        if (header.error() == 0)
            m_dir.setAside(name, QStringLiteral("%1 bytes without the journal's magic or a sound "
                                                "header")
                                     .arg(st.st_size));
        return move;
    }
    if (header.header() == Spill::HeaderCheck::Short) {
        // Cut short before its header was whole: it never held a record.
        m_dir.remove(name);
        return move;
    }
    move = Spill::moveSegment(db, m_dir, name, file.fd, qint64(st.st_size), budgetMs);
    saySkipped(name, move);
    // A mark that cannot be dropped now is dropped with the stale ones later. The mark beside
    // the segment goes once the removal is durable.
    if (move.state == SegmentMove::State::Done && m_dir.remove(name) == 0) {
        Spill::removeTakenMark(m_dir.fd(), name);
        if (Spill::dropMark(db, name) != 0)
            m_staleMarksChecked = false;
    }
    return move;
}

void SpillJournal::saySkipped(const QString &name, const SegmentMove &move)
{
    if (move.skipped <= 0)
        return;
    std::fprintf(stderr,
                 "SystemLog: %s: %lld damaged bytes skipped (from offset %lld on), the records "
                 "there are lost\n",
                 qUtf8Printable(m_dir.filePath(name)), static_cast<long long>(move.skipped),
                 static_cast<long long>(move.skippedAt));
}

void SpillJournal::close(sqlite3 *db)
{
    if (m_writer.isOpen() && !ownWaiting() && db)
        removeOwn(db);
    m_writer.close();
}

} // namespace SystemLog
