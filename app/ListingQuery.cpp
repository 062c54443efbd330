#include "ListingQuery.h"

#include "qzSysLog.h"

#include <QDir>

#include <memory>
#include <utility>

namespace {

// How long a query waits for another program's lock on the log, as the service's queries of the
// window wait (Tallyview).
constexpr int kBusyWaitMs = 1000;
// How long the listing's own reads wait: they run in the window's thread, between two screens.
constexpr int kShownBusyWaitMs = 250;

struct Outcome
{
    Listing listing;
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
        // The service's file: "dbLog.db" of the working directory.
        m_waiting = {request, QDir::current().absoluteFilePath(QStringLiteral("dbLog.db"))};
        m_waitingTicket = ++m_latest;
    }
    m_wake.notify_all();
    emit started();
}

bool ListingQuery::replaced()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_quit || m_waitingTicket != 0;
}

Listing ListingQuery::list(const Job &job, qint64 *lastId, QSqlError *error)
{
    const Request &r = job.request;
    for (int attempt = 0; attempt < 2; ++attempt) {
        Listing listing;
        listing.file =
            std::make_unique<ListingFile>(ListingFile::Query{job.path, r.from, r.to, r.type});
        listing.file->setBusyTimeout(kBusyWaitMs);
        listing.index = listing.file->list(lastId, [this] { return !replaced(); });
        if (listing.index) {
            listing.file->setBusyTimeout(kShownBusyWaitMs);
            listing.lastId = *lastId;
            return listing;
        }
        if (replaced())
            return {};
        if (attempt == 1) {
            *error = QSqlError(listing.file->errorString(), QString(), QSqlError::ConnectionError);
            return {};
        }
        // The service says why in the words the window has always shown; when its query works
        // (it has just set the file up, say), the listing is read once more.
        SystemLog::qzSysLog *service = SystemLog::qzSysLog::instance();
        if (r.day.isEmpty())
            service->queryRange(r.from, r.to, r.type, error, lastId);
        else
            service->queryDay(r.day, r.type, error, lastId);
        if (error->isValid())
            return {};
    }
    return {};
}

void ListingQuery::work()
{
    for (;;) {
        Job job;
        quint64 ticket = 0;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_quit || m_waitingTicket != 0; });
            if (m_quit)
                return;
            job = std::move(m_waiting);
            ticket = m_waitingTicket;
            m_waitingTicket = 0;
        }
        auto outcome = std::make_shared<Outcome>();
        outcome->listing = list(job, &outcome->lastId, &outcome->error);
        // Replaced meanwhile: the records are let go here rather than in the window's thread.
        if (replaced())
            continue;
        // Handed over in the object's thread; dropped there when a later query was asked for,
        // and with the object when it goes first.
        QMetaObject::invokeMethod(
            this,
            [this, ticket, outcome] {
                if (ticket != m_latest)
                    return;
                m_preparing = false;
                m_listing = std::move(outcome->listing);
                m_error = outcome->error;
                m_lastId = outcome->lastId;
                Q_EMIT listed();
            },
            Qt::QueuedConnection);
    }
}
