#pragma once

#include "ListingFile.h"

#include <QObject>
#include <QSqlError>
#include <QString>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

// Runs the window's queries on a thread of its own, so that a long listing being read never
// stops the window. A query lists what identifies each record of the category between the bounds
// (ListingFile::list, from the log's index alone), on a connection that the listing keeps for
// reading the records it shows. Where that fails, the log service's own query says why, in the
// words the window has always shown. One query runs at a time; a query asked for while another
// runs replaces any that waits and stops the one running, and the outcome of a query that a later
// one replaced is dropped: only the latest query's outcome is handed over.
class ListingQuery : public QObject
{
    Q_OBJECT

public:
    struct Request
    {
        QString day; // a query by day: "yyyy-MM-dd"; empty for a range
        QString from;
        QString to;
        int type = 0;
    };

    explicit ListingQuery(QObject *parent = nullptr);
    // Waits for a query in flight to end: the service it reads through must outlive it.
    ~ListingQuery() override;

    void run(const Request &request);
    // A query was asked for and its outcome has not been handed over yet.
    bool isPreparing() const { return m_preparing; }

    // The outcome of the latest query, once listed() was emitted: its records (taken), the
    // database's error (invalid on success) and the highest id in the file as they were read.
    Listing takeListing() { return std::move(m_listing); }
    QSqlError error() const { return m_error; }
    qint64 lastId() const { return m_lastId; }

Q_SIGNALS:
    // A query was asked for: the listing shown so far may let its records go.
    void started();
    // The latest query's outcome has arrived, in the object's thread.
    void listed();

private:
    struct Job
    {
        Request request;
        QString path;
    };
    void work();
    bool replaced();
    Listing list(const Job &job, qint64 *lastId, QSqlError *error);

    std::mutex m_mutex;
    std::condition_variable m_wake;
    Job m_waiting;               // guarded by m_mutex
    quint64 m_waitingTicket = 0; // guarded by m_mutex; 0: none waits
    bool m_quit = false;         // guarded by m_mutex
    // Owned by the object's thread.
    quint64 m_latest = 0;
    bool m_preparing = false;
    Listing m_listing;
    QSqlError m_error;
    qint64 m_lastId = -1;
    std::thread m_thread;
};
