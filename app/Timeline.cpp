#include "Timeline.h"

#include "RecordListing.h"
#include "TimelineStrip.h"

#include <QAction>
#include <QGridLayout>
#include <QTimer>

#include <utility>

namespace {

// A count waits this long for another program's lock before it fails; it is tried again a
// second later for as long as the listing is the same.
constexpr int kBusyWaitMs = 1000;
constexpr int kRetryMs = 1000;

} // namespace

Timeline::Timeline(QGridLayout *grid, RecordListing *listing, QObject *parent)
    : QObject(parent), m_action(new QAction(QString::fromUtf8("时间分布"), this)), m_grid(grid),
      m_listing(listing)
{
    m_action->setObjectName(QStringLiteral("timelineAction"));
    m_action->setCheckable(true);
    connect(m_action, &QAction::toggled, this, &Timeline::setShown);
    m_thread = std::thread([this] { work(); });
}

Timeline::~Timeline()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void Timeline::setListing(const Listing &listing)
{
    m_listed = listing;
    if (m_strip)
        count();
}

void Timeline::addRows(const SystemLog::LogRowList &rows, qint64 lastId)
{
    m_listed.lastId = lastId;
    if (!m_strip)
        return;
    for (const SystemLog::LogRow &row : rows) {
        if (m_counting)
            m_pending << row.first;
        else
            m_buckets.add(row.first);
    }
    if (!m_counting)
        m_strip->setBuckets(m_buckets);
}

void Timeline::setShown(bool on)
{
    if (on && !m_strip) {
        m_strip = new TimelineStrip;
        connect(m_strip, &TimelineStrip::bucketClicked, this, &Timeline::jumpTo);
        // Beside the view, in the grid's second column.
        m_grid->addWidget(m_strip, 1, 1);
        count();
    } else if (!on && m_strip) {
        m_grid->removeWidget(m_strip);
        delete m_strip;
        ++m_ticket; // a count in flight is dropped
        m_counting = false;
        m_pending.clear();
    }
}

void Timeline::count()
{
    m_buckets = TimelineBuckets::forSpan(m_listed.from, m_listed.to);
    m_strip->setBuckets(m_buckets);
    m_counting = false;
    m_pending.clear();
    const quint64 ticket = ++m_ticket;
    if (m_listed.lastId < 0 || !m_buckets.isValid()) {
        m_strip->setNotice(m_listed.from.isEmpty() ? QString::fromUtf8("尚未查询")
                                                   : QString::fromUtf8("没有可统计的记录"));
        return;
    }
    m_counting = true;
    m_strip->setNotice(QString::fromUtf8("正在统计…"));
    Request request;
    request.path = m_listed.path;
    request.identity = m_listed.identity;
    request.selection.types = {m_listed.type};
    request.selection.from = m_listed.from;
    request.selection.to = m_listed.to;
    request.selection.upToId = m_listed.lastId;
    request.prefixLength = m_buckets.prefixLength();
    request.ticket = ticket;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_request = std::move(request);
    }
    m_wake.notify_all();
}

void Timeline::counted(quint64 ticket, bool ok, bool transient, const QString &reason,
                       const Counts &counts)
{
    if (ticket != m_ticket || !m_strip)
        return;
    m_counting = false;
    if (!ok) {
        m_pending.clear();
        m_strip->setNotice(QString::fromUtf8("无法统计：%1").arg(reason));
        if (transient) {
            QTimer::singleShot(kRetryMs, this, [this, ticket] {
                if (ticket == m_ticket && m_strip)
                    count();
            });
        }
        return;
    }
    for (const auto &bucket : counts)
        m_buckets.add(bucket.first, bucket.second);
    for (const QString &stamp : qAsConst(m_pending))
        m_buckets.add(stamp);
    m_pending.clear();
    m_strip->setNotice(QString());
    m_strip->setBuckets(m_buckets);
}

void Timeline::jumpTo(qint64 bucket)
{
    // By the listing's index: reading records for the search would read whole messages.
    const int record =
        m_listing->firstRecordAtOrAfter(m_buckets.startOf(bucket), m_buckets.startOf(bucket + 1));
    if (record < m_listing->recordCount())
        m_listing->positionAt(record);
}

// The counting thread: runs the latest count asked for, and hands its outcome over.
void Timeline::work()
{
    for (;;) {
        Request request;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_quit || m_request.ticket != 0; });
            if (m_quit)
                return;
            request = std::move(m_request);
            m_request = Request();
        }
        SystemLog::LogReader reader;
        reader.setBusyTimeout(kBusyWaitMs);
        Counts counts;
        const bool opened = reader.open(request.path);
        // Another log at the path (moved over it, or the listed one set aside) is not the one
        // listed: its counts would not be the listing's. Checked after the open, so that the file
        // opened is the one checked or the check fails.
        const bool same = !opened || SystemLog::FileIdentity::of(request.path) == request.identity;
        const bool ok =
            opened && same && reader.countByStamp(request.selection, request.prefixLength, &counts);
        const bool transient = !ok && same && reader.lastErrorIsTransient();
        const QString reason = ok     ? QString()
                               : same ? reader.errorString()
                                      : QString::fromUtf8("日志文件已被替换，按 F5 重新查询");
        const quint64 ticket = request.ticket;
        QMetaObject::invokeMethod(
            this,
            [this, ticket, ok, transient, reason, counts = std::move(counts)] {
                counted(ticket, ok, transient, reason, counts);
            },
            Qt::QueuedConnection);
    }
}
