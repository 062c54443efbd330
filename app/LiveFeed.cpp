#include "LiveFeed.h"

#include "read/LogTail.h"

#include <QMetaObject>

#include <chrono>
#include <memory>
#include <string_view>
#include <utility>

namespace {

// A record stored is shown within a second: a poll every 200 ms leaves time to show it.
constexpr auto kPollInterval = std::chrono::milliseconds(200);
// A writer holds the file for a few milliseconds per batch; a lock held longer is waited out
// between polls, not inside one.
constexpr int kBusyWaitMs = 50;
// Records handed over per poll, so that a burst reaches the window in pieces it can show at once;
// the rest follows on the next poll without a pause.
constexpr int kRecordsPerPoll = 5000;

// Points the tail at the listing's records after its last id, on a new tail for another file.
void followListing(std::unique_ptr<SystemLog::LogTail> *tail, const LiveFeed::Listing &listing)
{
    if (!*tail || (*tail)->path() != listing.path) {
        *tail = std::make_unique<SystemLog::LogTail>(listing.path);
        (*tail)->setBusyTimeout(kBusyWaitMs);
    }
    SystemLog::LogSelection selection;
    selection.types = {listing.type};
    selection.from = listing.from;
    selection.to = listing.to;
    (*tail)->setSelection(selection);
    (*tail)->startAfter(listing.afterId);
}

} // namespace

LiveFeed::LiveFeed(QObject *parent) : QObject(parent) {}

LiveFeed::~LiveFeed()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void LiveFeed::follow(const Listing &listing)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_request = {listing, ++m_generation, true};
    }
    m_following = true;
    // The new listing's first poll says whether the file is held.
    setPaused(false);
    if (!m_thread.joinable())
        m_thread = std::thread([this] { run(); });
    m_wake.notify_all();
}

void LiveFeed::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_request = {Listing(), ++m_generation, false};
    }
    m_following = false;
    setPaused(false);
    m_wake.notify_all();
}

void LiveFeed::setPaused(bool paused)
{
    if (paused == m_paused)
        return;
    m_paused = paused;
    emit pausedChanged(paused);
}

void LiveFeed::deliverPaused(quint64 generation, bool paused)
{
    if (generation == m_generation && m_following)
        setPaused(paused);
}

void LiveFeed::deliver(quint64 generation, const SystemLog::LogRowList &rows, qint64 lastId)
{
    if (generation == m_generation && m_following)
        emit recordsArrived(rows, lastId);
}

void LiveFeed::deliverReplaced(quint64 generation)
{
    if (generation == m_generation && m_following)
        emit fileReplaced();
}

// Waits for the next poll (at once after a poll that stopped at its limit) or for another
// listing; false when the feed is to end.
bool LiveFeed::nextRequest(Request *current, bool more)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto changed = [&] { return m_quit || m_request.generation != current->generation; };
    if (!current->active)
        m_wake.wait(lock, changed);
    else if (!more)
        m_wake.wait_for(lock, kPollInterval, changed);
    if (m_quit)
        return false;
    if (m_request.generation != current->generation)
        *current = m_request;
    return true;
}

void LiveFeed::run()
{
    std::unique_ptr<SystemLog::LogTail> tail;
    Request current;
    quint64 following = 0; // the generation the tail follows
    bool more = false;     // the last poll stopped at kRecordsPerPoll
    bool paused = false;   // as last said for the generation followed
    while (nextRequest(&current, more)) {
        more = false;
        if (!current.active) {
            tail.reset();
            continue;
        }
        if (following != current.generation) {
            followListing(&tail, current.listing);
            following = current.generation;
            paused = false;
        }
        SystemLog::LogRowList rows;
        const SystemLog::LogTail::Poll poll = tail->poll(
            [&](const SystemLog::LogRecordView &r) {
                rows.append({QString::fromUtf8(r.datetime.data(), int(r.datetime.size())),
                             QString::fromUtf8(r.message.data(), int(r.message.size()))});
                return true;
            },
            kRecordsPerPoll);
        more = poll.more;
        const quint64 generation = current.generation;
        const bool held = poll.state == SystemLog::LogTail::State::Waiting;
        if (held != paused) {
            paused = held;
            QMetaObject::invokeMethod(
                this, [this, generation, held] { deliverPaused(generation, held); },
                Qt::QueuedConnection);
        }
        // What was read before a failure is handed over all the same; the rest comes next time.
        if (!rows.isEmpty()) {
            // Moved, not copied: from here on the window's thread alone holds the rows (and frees
            // them), and this thread touches nothing of them again. The posted event orders their
            // writes here before the reads there.
            const qint64 lastId = tail->position();
            QMetaObject::invokeMethod(
                this,
                [this, generation, rows = std::move(rows), lastId] {
                    deliver(generation, rows, lastId);
                },
                Qt::QueuedConnection);
        }
        if (poll.state == SystemLog::LogTail::State::Replaced) {
            // The window lists the new file afresh and follows that listing.
            current.active = false;
            QMetaObject::invokeMethod(
                this, [this, generation] { deliverReplaced(generation); }, Qt::QueuedConnection);
        }
    }
}
