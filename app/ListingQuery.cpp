#include "ListingQuery.h"

#include "qzSysLog.h"

#include <memory>
#include <utility>

namespace {

struct Outcome
{
    SystemLog::LogRowList rows;
    QSqlError error;
    qint64 lastId = -1;
};

} // namespace

ListingQuery::ListingQuery(QObject *parent) : QObject(parent)
{
    m_thread = std::thread([this] { work(); });
}

ListingQuery::~ListingQuery()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
        m_waitingTicket = 0;
    }
    m_wake.notify_all();
    m_thread.join();
}

void ListingQuery::run(const Request &request)
{
    m_preparing = true;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_waiting = request;
        m_waitingTicket = ++m_latest;
    }
    m_wake.notify_all();
}

void ListingQuery::work()
{
    for (;;) {
        Request request;
        quint64 ticket = 0;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_quit || m_waitingTicket != 0; });
            if (m_quit)
                return;
            request = std::move(m_waiting);
            ticket = m_waitingTicket;
            m_waitingTicket = 0;
        }
        SystemLog::qzSysLog *service = SystemLog::qzSysLog::instance();
        auto outcome = std::make_shared<Outcome>();
        outcome->rows =
            request.day.isEmpty()
                ? service->queryRange(request.from, request.to, request.type, &outcome->error,
                                      &outcome->lastId)
                : service->queryDay(request.day, request.type, &outcome->error, &outcome->lastId);
        {
            // Replaced meanwhile: the records are let go here rather than in the window's thread.
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_quit || m_waitingTicket != 0)
                continue;
        }
        // Handed over in the object's thread; dropped there when a later query was asked for,
        // and with the object when it goes first.
        QMetaObject::invokeMethod(
            this,
            [this, ticket, outcome] {
                if (ticket != m_latest)
                    return;
                m_preparing = false;
                m_rows = std::move(outcome->rows);
                m_error = outcome->error;
                m_lastId = outcome->lastId;
                Q_EMIT listed();
            },
            Qt::QueuedConnection);
    }
}
