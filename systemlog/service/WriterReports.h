#pragma once

#include "store/QDBSqlite.h"

#include <QString>

#include <atomic>

namespace SystemLog {

// What the writer says on standard error: a state of the log once for as long as it holds, lost
// records at most once a second, and why records go to the side file once for each reason. The
// lost count is read from any thread.
class WriterReports
{
public:
    // What is said about a store that cannot take records.
    static QString stateText(QDBSqlite::Readiness readiness, const QSqlError &error);

    // Says the state of the log when it differs from the last one said; empty: the log takes
    // records again.
    void state(const QString &state);

    // Counts records given up and says so (at most once a second; the rest at reportLoss()).
    void countLost(long long count, const QString &reason);
    void reportLoss();
    // Counts records given up that are said elsewhere.
    void addLost(long long count) { m_lost.fetch_add(count, std::memory_order_relaxed); }
    long long lost() const { return m_lost.load(std::memory_order_relaxed); }

    // Why records went to the side file, as last said (empty once the log takes them again).
    const QString &spillSaid() const { return m_spillSaid; }
    void setSpillSaid(const QString &why) { m_spillSaid = why; }

    // A query met a damaged log (from any thread): the writer checks the file on its next cycle.
    void damageMet() { m_damageMet.store(true, std::memory_order_relaxed); }
    bool takeDamageMet() { return m_damageMet.exchange(false, std::memory_order_relaxed); }

private:
    QString m_reportedState;
    QString m_spillSaid;
    std::atomic<long long> m_lost{0};
    std::atomic<bool> m_damageMet{false};
    long long m_unreportedLost = 0;
    QString m_lossReason;
    qint64 m_lastLossReportMs = -1;
};

} // namespace SystemLog
