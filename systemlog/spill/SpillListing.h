#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

struct sqlite3;

namespace SystemLog::Spill {

// A record that waits in the spill journal, not yet stored in the log.
struct WaitingRecord
{
    qint64 loggedAt = 0;
    QByteArray stamp; // its local time text, as it will be stored
    int type = 0;
    QByteArray message; // UTF-8
};

struct SegmentListing
{
    QString name;
    bool sound = true;  // false: no segment (no magic or no sound header)
    qint64 skipped = 0; // damaged bytes (or bytes still being written) skipped
    int readError = 0;  // errno of a failed read
    QList<WaitingRecord> records;
};

// Reads every segment of the journal at `dirPath` without taking any lock (a service appending
// or moving is never held up), each from its mark in `marks` on: the offset up to which the log
// already holds its records. Segments in name order, records in the order they were logged.
QList<SegmentListing> listJournal(const QString &dirPath, const QHash<QString, qint64> &marks);

// The log's marks (table SpillMarks), read on an open connection; empty without the table.
QHash<QString, qint64> readMarks(sqlite3 *db);
// The same of the log at `logPath`, opened read-only (a missing log has none); false with *why
// when it cannot be read.
bool readMarks(const QString &logPath, QHash<QString, qint64> *marks, QString *why);

} // namespace SystemLog::Spill
