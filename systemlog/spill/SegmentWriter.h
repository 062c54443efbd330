#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

namespace SystemLog::Spill {

class SpillDir;

// This process's own segment: created under a name nobody moves (".<id>.new"), locked with
// flock, given its header and synced, and only then renamed to "<id>.spill" (a random 128-bit
// id, never a pid, which recurs), so that every segment another service finds has its header
// and its owner's lock from the start. The lock is held while the process lives (the file is
// opened O_CLOEXEC, so that a program started from it does not keep it); once the process has
// gone, any service may move the segment.
class SegmentWriter
{
public:
    explicit SegmentWriter(SpillDir &dir) : m_dir(dir) {}
    ~SegmentWriter();
    SegmentWriter(const SegmentWriter &) = delete;
    SegmentWriter &operator=(const SegmentWriter &) = delete;

    bool isOpen() const { return m_fd >= 0; }
    // Creates the segment: 0 or the errno (*why says which step failed).
    int create(QString *why);
    // Appends frames made with seed(): one write, then fdatasync; only then do they count as
    // written. On a failure the file is cut back to what was written before. 0 or the errno.
    int append(const QByteArray &frames);
    // Removes the segment (still holding its lock, so that no other service can take the
    // removed file for one to move) and syncs the directory: 0 or the errno. The segment is
    // closed either way unless the removal itself failed.
    int remove();
    void close();

    QString name() const { return m_name; }
    int fd() const { return m_fd; }
    std::uint32_t seed() const { return m_seed; }
    // The bytes written and synced: the header and whole frames.
    qint64 size() const { return m_size; }
    // A write cut back could not be undone: nothing more is appended to this segment.
    bool broken() const { return m_broken; }

private:
    SpillDir &m_dir;
    QString m_name;
    int m_fd = -1;
    std::uint32_t m_seed = 0;
    qint64 m_size = 0;
    bool m_broken = false;
};

} // namespace SystemLog::Spill
