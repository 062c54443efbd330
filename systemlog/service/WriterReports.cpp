#include "service/WriterReports.h"

#include "service/MonotonicClock.h"

#include <cstdio>

namespace SystemLog {

QString WriterReports::stateText(QDBSqlite::Readiness readiness, const QSqlError &error)
{
    return readiness == QDBSqlite::Readiness::NotALog
               ? QStringLiteral("cannot use the log database: %1").arg(error.text())
               : QStringLiteral("the log database is unavailable, records wait: %1")
                     .arg(error.text());
}

void WriterReports::state(const QString &state)
{
    if (state == m_reportedState)
        return;
    if (state.isEmpty())
        std::fprintf(stderr, "SystemLog: the log database takes records again\n");
    else
        std::fprintf(stderr, "SystemLog: %s\n", qUtf8Printable(state));
    m_reportedState = state;
}

void WriterReports::countLost(long long count, const QString &reason)
{
    if (count <= 0)
        return;
    m_lost.fetch_add(count, std::memory_order_relaxed);
    m_unreportedLost += count;
    m_lossReason = reason;
    // A store that stays unusable loses records every cycle: say so once a second, not
    // once a cycle.
    const qint64 now = monotonicMs();
    if (m_lastLossReportMs < 0 || now - m_lastLossReportMs >= 1000)
        reportLoss();
}

void WriterReports::reportLoss()
{
    if (m_unreportedLost == 0)
        return;
    std::fprintf(stderr, "SystemLog: %lld log records lost: %s\n", m_unreportedLost,
                 qUtf8Printable(m_lossReason));
    m_unreportedLost = 0;
    m_lastLossReportMs = monotonicMs();
}

} // namespace SystemLog
