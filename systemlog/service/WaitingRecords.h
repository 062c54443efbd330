#pragma once

#include "service/LogQueueEntry.h"

#include <QString>

#include <list>

namespace SystemLog {

class SpillJournal;
class RecordQueue;
class WriterReports;

// The records the writer thread has taken off the queue and not yet stored, in the order they
// were logged, with their estimated memory. Only the writer thread touches them; each record it
// is done with is counted off the queue's count of unfinished records.
class WaitingRecords
{
public:
    WaitingRecords(RecordQueue &queue, WriterReports &reports) : m_queue(queue), m_reports(reports)
    {
    }

    // Takes everything queued so far.
    void takeQueued();
    // Forgets the records from the first up to `end` (stored, refused or given up).
    void forget(std::list<LogQueueEntry>::iterator end);
    // Sends every waiting record to the spill journal, saying why once for as long as the
    // reason holds; what neither the log nor the journal can take is given up and counted, or,
    // with `keepTheRest`, waits here (the memory bound still applies).
    void spill(SpillJournal &journal, const QString &why, bool keepTheRest = false);

    std::list<LogQueueEntry> &records() { return m_records; }
    bool empty() const { return m_records.empty(); }
    qint64 bytes() const { return m_bytes; }

private:
    RecordQueue &m_queue;
    WriterReports &m_reports;
    std::list<LogQueueEntry> m_records;
    qint64 m_bytes = 0;
};

} // namespace SystemLog
