#include "service/WaitingRecords.h"

#include "service/LogFileNames.h"
#include "service/RecordQueue.h"
#include "service/WriterReports.h"
#include "spill/SpillJournal.h"

#include <cstdio>
#include <iterator>

namespace SystemLog {

void WaitingRecords::takeQueued()
{
    std::list<LogQueueEntry> taken;
    m_bytes += m_queue.takeAll(taken);
    m_records.splice(m_records.end(), taken);
}

void WaitingRecords::forget(std::list<LogQueueEntry>::iterator end)
{
    int forgotten = 0;
    for (auto it = m_records.begin(); it != end; ++it) {
        m_bytes -= RecordQueue::entryBytes(*it);
        ++forgotten;
    }
    m_records.erase(m_records.begin(), end);
    m_queue.done(forgotten);
}

void WaitingRecords::spill(SpillJournal &journal, const QString &why, bool keepTheRest)
{
    if (m_records.empty())
        return;
    QString journalError;
    const int taken = journal.append(m_records.cbegin(), m_records.cend(), &journalError);
    if (taken > 0 && why != m_reports.spillSaid()) {
        // Said once for as long as the reason holds, not once a cycle.
        std::fprintf(stderr, "SystemLog: log records go to %s until %s takes them: %s\n",
                     qUtf8Printable(journal.path()), qUtf8Printable(kDatabaseName),
                     qUtf8Printable(why));
        m_reports.setSpillSaid(why);
    }
    auto end = m_records.begin();
    std::advance(end, taken);
    forget(end);
    if (keepTheRest)
        return;
    // Records that neither can take now are given up: a reader of the log must not hold this
    // process's memory.
    m_reports.countLost(static_cast<long long>(m_records.size()),
                        QStringLiteral("neither %1 (%2) nor %3 (%4) can take them")
                            .arg(kDatabaseName, why, journal.path(), journalError));
    forget(m_records.end());
}

} // namespace SystemLog
