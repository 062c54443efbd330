#include "spill/SegmentReader.h"

#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

namespace SystemLog::Spill {

namespace {

// Read ahead in blocks of this size: most frames are small.
constexpr qint64 kReadAhead = 1 << 20;

} // namespace

SegmentReader::SegmentReader(int fd, qint64 limit) : m_fd(fd), m_limit(limit)
{
    struct stat st;
    if (m_limit < 0)
        m_limit = ::fstat(fd, &st) == 0 ? qint64(st.st_size) : 0;
    const char *head = bytesAt(0, qMin<qint64>(m_limit, kHeaderSize));
    if (!head) {
        m_header = m_error ? HeaderCheck::NotASegment : HeaderCheck::Short;
        return;
    }
    m_header = checkHeader(head, std::size_t(qMin<qint64>(m_limit, kHeaderSize)), &m_fields);
    if (m_header == HeaderCheck::Sound)
        m_seed = frameSeed(m_fields.salt);
}

const char *SegmentReader::bytesAt(qint64 offset, qint64 size)
{
    if (offset >= m_bufferAt && offset + size <= m_bufferAt + m_buffer.size())
        return m_buffer.constData() + (offset - m_bufferAt);
    if (size <= 0 || offset + size > m_limit)
        return size == 0 ? "" : nullptr;
    const qint64 want = qMin(qMax(size, kReadAhead), m_limit - offset);
    m_buffer.resize(int(want));
    m_bufferAt = offset;
    qint64 have = 0;
    while (have < want) {
        const ssize_t n =
            ::pread(m_fd, m_buffer.data() + have, std::size_t(want - have), off_t(offset + have));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // Shorter than it was (cut by another program) or unreadable.
            m_error = n < 0 ? errno : 0;
            m_limit = offset + have;
            break;
        }
        have += n;
    }
    m_buffer.resize(int(have));
    return have >= size ? m_buffer.constData() : nullptr;
}

void SegmentReader::seek(qint64 offset)
{
    m_pos = qMax<qint64>(offset, kHeaderSize);
    m_damageFrom = -1;
}

void SegmentReader::endDamage(qint64 at)
{
    if (m_damageFrom < 0)
        return;
    m_skipped += at - m_damageFrom;
    m_lastSkipAt = m_damageFrom;
    m_damageFrom = -1;
}

bool SegmentReader::next(FrameRecord *record)
{
    if (m_header != HeaderCheck::Sound)
        return false;
    while (m_pos + kFrameHeaderSize <= m_limit) {
        const char *head = bytesAt(m_pos, kFrameHeaderSize);
        if (!head)
            break;
        const qint64 length = checkedFrameLength(head, m_seed);
        if (length >= 0 && m_pos + kFrameHeaderSize + length <= m_limit) {
            const char *frame = bytesAt(m_pos, kFrameHeaderSize + length);
            if (!frame)
                break;
            if (decodeFrame(frame, length, m_seed, record)) {
                endDamage(m_pos);
                m_pos += kFrameHeaderSize + length;
                return true;
            }
        }
        if (m_error)
            return false;
        // Not a frame here: the next byte may begin one.
        if (m_damageFrom < 0)
            m_damageFrom = m_pos;
        ++m_pos;
    }
    if (m_error)
        return false;
    // What is left cannot hold a frame: a write torn by a kill, or damage to the end.
    if (m_pos < m_limit && m_damageFrom < 0)
        m_damageFrom = m_pos;
    endDamage(m_limit);
    m_pos = qMax(m_pos, m_limit);
    return false;
}

} // namespace SystemLog::Spill
