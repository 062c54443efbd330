#pragma once

#include "LogTypes.h"

#include <QObject>
#include <QSqlError>
#include <QString>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

// Runs the window's queries on a thread of its own, so that a long listing being read never
// stops the window. The query is the log service's own (qzSysLog::queryDay / queryRange), which
// gives a thread other than its owner a short-lived connection of its own. One query runs at a
// time; a query asked for while another runs replaces any that waits, and the outcome of a query
// that a later one replaced is dropped: only the latest query's outcome is handed over.
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

    // The outcome of the latest query, once listed() was emitted: its records (taken, so that
    // a long listing is never copied), the database's error (invalid on success) and the highest
    // id in the file as the records were read.
    SystemLog::LogRowList takeRows() { return std::move(m_rows); }
    QSqlError error() const { return m_error; }
    qint64 lastId() const { return m_lastId; }

Q_SIGNALS:
    // The latest query's outcome has arrived, in the object's thread.
    void listed();

private:
    void work();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    Request m_waiting;           // guarded by m_mutex
    quint64 m_waitingTicket = 0; // guarded by m_mutex; 0: none waits
    bool m_quit = false;         // guarded by m_mutex
    // Owned by the object's thread.
    quint64 m_latest = 0;
    bool m_preparing = false;
    SystemLog::LogRowList m_rows;
    QSqlError m_error;
    qint64 m_lastId = -1;
    std::thread m_thread;
};
