#pragma once

#include "LogTypes.h"

#include <QObject>
#include <QString>

#include <condition_variable>
#include <mutex>
#include <thread>

// Follows the records of one listing while programs store them: the records of one category
// stamped within the listing's bounds, with ids above the highest id the listing was read with.
// A thread of its own polls the log file five times a second through a LogTail of its own: one
// statement to see whether another connection has changed the file since the last poll, and only
// then one that reads the records after the last one handed over. Those statements wait only
// briefly for a writer's lock (a busy file is tried again on the next poll), so the window never
// waits for the file and the feed stops at once. When another log takes the file's place, the
// feed says so (fileReplaced) and waits for the listing of the new file to be followed.
class LiveFeed : public QObject
{
    Q_OBJECT

public:
    struct Listing
    {
        QString path; // the log file
        QString from; // "yyyy-MM-dd hh:mm:ss", both included, as the service's queries
        QString to;
        int type = 0;
        qint64 afterId = 0;
    };

    explicit LiveFeed(QObject *parent = nullptr);
    ~LiveFeed() override;

    // Follows this listing from now on, in place of any earlier one: records read for an earlier
    // listing and not yet handed over are dropped.
    void follow(const Listing &listing);
    void stop();
    bool isFollowing() const { return m_following; }
    // Whether the feed waits because another program holds the file (busy, locked, or a crashed
    // writer's transaction not yet undone): nothing can be read until it lets go.
    bool isPaused() const { return m_paused; }

Q_SIGNALS:
    // Records of the listing stored since, in id order, each handed over once; lastId is the
    // highest id read so far (following again from there hands over only what came later).
    void recordsArrived(const SystemLog::LogRowList &rows, qint64 lastId);
    // Another log is at the listing's path now (moved over it, made anew or written over it): the
    // listing shows a file that is gone. Nothing more is handed over until follow() is called
    // again.
    void fileReplaced();
    // The feed began or stopped waiting for another program to let go of the file.
    void pausedChanged(bool paused);

private:
    struct Request
    {
        Listing listing;
        quint64 generation = 0;
        bool active = false;
    };

    void run();
    bool nextRequest(Request *current, bool more);
    void deliver(quint64 generation, const SystemLog::LogRowList &rows, qint64 lastId);
    void deliverReplaced(quint64 generation);
    void deliverPaused(quint64 generation, bool paused);
    void setPaused(bool paused);

    std::mutex m_mutex;
    std::condition_variable m_wake;
    Request m_request;   // guarded by m_mutex
    bool m_quit = false; // guarded by m_mutex
    // Owned by the window's thread.
    quint64 m_generation = 0;
    bool m_following = false;
    bool m_paused = false;
    std::thread m_thread;
};
