#include "spill/SpillListing.h"

#include "spill/SegmentReader.h"
#include "spill/SpillDir.h"
#include "spill/TakenMark.h"
#include "sqlite/Sqlite.h"

#include <QFile>

#include <sqlite3.h>

#include <fcntl.h>
#include <unistd.h>

namespace SystemLog::Spill {

QList<SegmentListing> listJournal(const QString &dirPath, const QHash<QString, qint64> &marks)
{
    QList<SegmentListing> listing;
    SpillDir dir(dirPath);
    QString why;
    if (dir.open(false, &why) != 0)
        return listing;
    for (const QString &name : dir.segmentNames()) {
        SegmentListing segment;
        segment.name = name;
        const int fd = ::openat(dir.fd(), QFile::encodeName(name).constData(),
                                O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0) {
            segment.sound = false;
            listing << segment;
            continue;
        }
        SegmentReader reader(fd);
        segment.sound = reader.header() == HeaderCheck::Sound;
        reader.seek(qMax(marks.value(name, 0), readTakenMark(dir.fd(), name)));
        FrameRecord frame;
        while (reader.next(&frame)) {
            segment.records << WaitingRecord{
                frame.loggedAt, QByteArray(frame.stamp.data(), int(frame.stamp.size())), frame.type,
                QByteArray(frame.message.data(), int(frame.message.size()))};
        }
        segment.skipped = reader.skipped();
        segment.readError = reader.error();
        ::close(fd);
        listing << segment;
    }
    return listing;
}

QHash<QString, qint64> readMarks(sqlite3 *db)
{
    QHash<QString, qint64> marks;
    qint64 tables = 0;
    if (Sqlite::readNumber(
            db, "SELECT count(*) FROM sqlite_master WHERE type='table' AND name='SpillMarks'",
            &tables) != SQLITE_ROW ||
        tables == 0)
        return marks;
    Sqlite::Statement select(
        db, "SELECT segment, max(CAST(offset AS INTEGER)) FROM SpillMarks GROUP BY segment");
    while (select.step() == SQLITE_ROW) {
        const std::string_view name = select.text(0);
        marks.insert(QString::fromUtf8(name.data(), int(name.size())), select.int64(1));
    }
    return marks;
}

bool readMarks(const QString &logPath, QHash<QString, qint64> *marks, QString *why)
{
    marks->clear();
    if (!QFile::exists(logPath))
        return true;
    Sqlite::Connection log;
    if (log.open(logPath, SQLITE_OPEN_READONLY, Sqlite::kBusyTimeoutMs, why) != SQLITE_OK)
        return false;
    // One snapshot: the marks and the rows they stand for.
    qint64 tables = 0;
    const int rc = Sqlite::readNumber(
        log.handle(), "SELECT count(*) FROM sqlite_master WHERE type='table' AND name='SpillMarks'",
        &tables);
    if (rc != SQLITE_ROW) {
        *why = Sqlite::errorText(log.handle(), rc);
        return false;
    }
    *marks = readMarks(log.handle());
    return true;
}

} // namespace SystemLog::Spill
