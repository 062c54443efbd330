#pragma once

#include "spill/SpillFormat.h"

#include <QByteArray>

#include <cstdint>

namespace SystemLog::Spill {

// Reads the frames of a segment open at a descriptor it does not own, without any lock, so
// that no reader can make the segment's writer wait. A frame that does not check out (torn by
// a kill, damaged on the disk) ends nothing: the reader goes on at the next position where a
// whole frame checks out and counts the bytes it skipped.
class SegmentReader
{
public:
    // Reads up to `limit` bytes of the file (-1: its size now).
    SegmentReader(int fd, qint64 limit = -1);

    // What the header says; frames are read only from a sound one.
    HeaderCheck header() const { return m_header; }
    const Header &headerFields() const { return m_fields; }
    // The errno of a failed read (0: none).
    int error() const { return m_error; }

    // Reads frames from `offset` on (the header's end, or where an earlier read stopped).
    void seek(qint64 offset);
    // The next record that checks out; its texts are valid until the next call. False at the
    // end, after a failed read (see error()) or without a sound header.
    bool next(FrameRecord *record);
    // Where reading goes on: after the last record returned, or at the end once the bytes
    // after it were skipped.
    qint64 position() const { return m_pos; }
    qint64 limit() const { return m_limit; }
    // Bytes skipped so far, and where the last run of them began.
    qint64 skipped() const { return m_skipped; }
    qint64 lastSkipAt() const { return m_lastSkipAt; }

private:
    // A pointer to `size` bytes of the file from `offset` on, read when not at hand.
    const char *bytesAt(qint64 offset, qint64 size);
    void endDamage(qint64 at);

    int m_fd;
    qint64 m_limit;
    HeaderCheck m_header = HeaderCheck::NotASegment;
    Header m_fields;
    std::uint32_t m_seed = 0;
    int m_error = 0;
    qint64 m_pos = kHeaderSize;
    qint64 m_damageFrom = -1;
    qint64 m_skipped = 0;
    qint64 m_lastSkipAt = -1;
    QByteArray m_buffer;
    qint64 m_bufferAt = 0;
};

} // namespace SystemLog::Spill
