#pragma once

#include <QString>

namespace SystemLog::Spill {

class SpillDir;

// Beside a segment "<id>.spill", the file "<id>.spill.taken" remembers up to which offset some
// log has taken its records. It is written after each commit that moves a part of the segment,
// so that when the log is replaced under a move (the operator moved it away, a new one took its
// place), the new log starts where the old one stopped instead of taking the segment again: each
// record is in one of the two files, once. The log's own mark (SpillMarks) stays the one a kill
// can rely on; the mover starts at the further of the two.
//
// The file holds the offset and its complement, 8 bytes each, in one write that is synced; a
// file that does not check out counts as no mark.

// The offset up to which a log has taken the segment `segment` of the directory open at
// `dirFd`, or 0.
qint64 readTakenMark(int dirFd, const QString &segment);
// Records `offset` for `segment` (the caller holds the segment's lock): 0 or the errno.
int writeTakenMark(SpillDir &dir, const QString &segment, qint64 offset);
// Removes the mark of a segment that is gone (no sync: a mark that comes back is removed again).
void removeTakenMark(int dirFd, const QString &segment);
// Removes the marks whose segment is no longer in the directory (a kill between the removal of
// a segment and that of its mark leaves one).
void removeStrayTakenMarks(SpillDir &dir);

} // namespace SystemLog::Spill
