#pragma once

#include "LogTypes.h"
#include "TimelineBuckets.h"
#include "TimelineStrip.h"
#include "read/FileState.h"
#include "read/LogReader.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVector>

#include <condition_variable>
#include <mutex>
#include <thread>

class QAction;
class QGridLayout;
class RecordListing;

// The timeline of the listing, "时间分布": a checkable entry of the view's menu, off at start;
// when on, a strip beside the view shows how many of the listed records fall in each hour of the
// listing's span (each minute of a span under two hours), and clicking a bar shows the first
// record of that bucket at the top of the view. The records are counted off the window's thread,
// by the file's index, as the listing was read (up to the highest id it was read with); records
// that live update adds go to their bucket. The strip goes into the central grid beside the view
// only while the entry is on, so that the window is the form's own while it is off.
class Timeline : public QObject
{
    Q_OBJECT

public:
    // What the view lists: the file (its path, and the file that was there when it was listed),
    // the category and span of its query, and the highest id it was read up to (< 0: nothing
    // listed, or the query failed).
    struct Listing
    {
        QString path;
        QString from;
        QString to;
        int type = 0;
        qint64 lastId = -1;
        SystemLog::FileIdentity identity;
    };

    Timeline(QGridLayout *grid, RecordListing *listing, QObject *parent);
    // Waits for a count in flight.
    ~Timeline() override;

    QAction *action() const { return m_action; }
    TimelineStrip *strip() const { return m_strip; }

    // The listing shown now; counted afresh while the timeline is on.
    void setListing(const Listing &listing);
    // Records added at the end of the listing, which is read up to lastId now.
    void addRows(const SystemLog::LogRowList &rows, qint64 lastId);

private:
    struct Request
    {
        QString path;
        SystemLog::FileIdentity identity;
        SystemLog::LogSelection selection;
        int prefixLength = 13;
        quint64 ticket = 0;
    };
    using Counts = QVector<QPair<QString, qint64>>;

    void setShown(bool on);
    void count();
    void counted(quint64 ticket, bool ok, bool transient, const QString &reason,
                 const Counts &counts);
    void jumpTo(qint64 bucket);
    void work();

    QAction *m_action;
    QGridLayout *m_grid;
    RecordListing *m_listing;
    QPointer<TimelineStrip> m_strip;
    Listing m_listed;
    TimelineBuckets m_buckets;
    // While a count is under way, the stamps of records added meanwhile, for its outcome.
    bool m_counting = false;
    QStringList m_pending;
    quint64 m_ticket = 0; // the latest count asked for

    std::mutex m_mutex;
    std::condition_variable m_wake;
    Request m_request;   // guarded by m_mutex; ticket 0: none waits
    bool m_quit = false; // guarded by m_mutex
    std::thread m_thread;
};
