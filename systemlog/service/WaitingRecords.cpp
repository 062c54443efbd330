#include "service/WaitingRecords.h"

#include "service/LogFileNames.h"
#include "service/RecordQueue.h"
#include "service/WriterReports.h"
#include "store/PendingFile.h"

#include <QSqlError>

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

void WaitingRecords::spill(PendingFile &sideFile, const QString &why, bool keepTheRest)
{
    QSqlError sideError;
    bool said = why == m_reports.spillSaid();
    // Chunk by chunk, each forgotten here once the side file has it.
    while (!m_records.empty()) {
        int stored = 0;
        const int taken =
            sideFile.append(m_records.cbegin(), m_records.cend(), &stored, &sideError);
        if (taken == 0)
            break;
        if (stored > 0 && !said) {
            // Said once for as long as the reason holds, not once a cycle.
            std::fprintf(stderr, "SystemLog: log records go to %s until %s takes them: %s\n",
                         qUtf8Printable(sideFile.path()), qUtf8Printable(kDatabaseName),
                         qUtf8Printable(why));
            m_reports.setSpillSaid(why);
            said = true;
        }
        auto end = m_records.begin();
        std::advance(end, taken);
        forget(end);
        m_reports.countLost(taken - stored, sideError.text());
    }
    if (keepTheRest)
        return;
    // Records that neither file can take now are given up: a reader of either file must not
    // hold this process's memory.
    m_reports.countLost(static_cast<long long>(m_records.size()),
                        QStringLiteral("neither %1 (%2) nor %3 (%4) can take them")
                            .arg(kDatabaseName, why, sideFile.path(), sideError.text()));
    forget(m_records.end());
}

} // namespace SystemLog
