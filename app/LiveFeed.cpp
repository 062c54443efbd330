#include "LiveFeed.h"

#include "read/LogReader.h"

#include <QFile>
#include <QMetaObject>

#include <sys/stat.h>

#include <chrono>
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

// The file behind a path, to see that it was replaced (the reader keeps the one it opened).
struct FileIdentity
{
    dev_t device = 0;
    ino_t inode = 0;
    bool exists = false;

    static FileIdentity of(const QString &path)
    {
        FileIdentity id;
        struct stat st;
        if (::stat(QFile::encodeName(path).constData(), &st) == 0)
            id = {st.st_dev, st.st_ino, true};
        return id;
    }
    bool operator==(const FileIdentity &o) const
    {
        return exists == o.exists && device == o.device && inode == o.inode;
    }
};

// Whether a stored stamp lies within the listing's bounds, as the service's query compares it with
// its text bounds: a text stamp byte by byte; a number sorts before any text, a blob after it.
bool withinBounds(const SystemLog::LogRecordView &record, const QByteArray &from,
                  const QByteArray &to)
{
    if (!record.datetimeIsText)
        return false;
    const std::string_view stamp = record.datetime;
    const auto compare = [stamp](const QByteArray &bound) {
        const std::string_view b(bound.constData(), size_t(bound.size()));
        return stamp.compare(b);
    };
    return compare(from) >= 0 && compare(to) <= 0;
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
    m_wake.notify_all();
}

void LiveFeed::deliver(quint64 generation, const SystemLog::LogRowList &rows, qint64 lastId)
{
    if (generation == m_generation && m_following)
        emit recordsArrived(rows, lastId);
}

void LiveFeed::run()
{
    SystemLog::LogReader reader;
    reader.setBusyTimeout(kBusyWaitMs);
    FileIdentity opened;
    Request current;
    QByteArray from;
    QByteArray to;
    qint64 seenVersion = -1; // the file's version when everything up to afterId was read
    bool more = false;       // the last poll stopped at kRecordsPerPoll

    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            const auto changed = [&] {
                return m_quit || m_request.generation != current.generation;
            };
            if (!current.active)
                m_wake.wait(lock, changed);
            else if (!more)
                m_wake.wait_for(lock, kPollInterval, changed);
            if (m_quit)
                return;
            if (m_request.generation != current.generation) {
                current = m_request;
                from = current.listing.from.toUtf8();
                to = current.listing.to.toUtf8();
                seenVersion = -1;
                if (reader.isOpen() && !(FileIdentity::of(current.listing.path) == opened))
                    reader.close();
            }
        }
        more = false;
        if (!current.active) {
            reader.close();
            continue;
        }
        // A removed or replaced file is opened again (and read from the listing's last id on).
        const FileIdentity now = FileIdentity::of(current.listing.path);
        if (reader.isOpen() && !(now == opened)) {
            reader.close();
            seenVersion = -1;
        }
        if (!reader.isOpen()) {
            if (!now.exists || !reader.open(current.listing.path))
                continue;
            opened = now;
        }

        qint64 version = 0;
        if (!reader.dataVersion(&version)) {
            if (!reader.lastErrorIsTransient())
                reader.close();
            continue;
        }
        if (version == seenVersion)
            continue;

        // Ids after the last one handed over, by rowid: a poll reads only what is new, however
        // long the listing. The bounds are checked here, not by an index walk over the listing.
        SystemLog::LogSelection selection;
        selection.types = {current.listing.type};
        selection.afterId = current.listing.afterId;
        selection.limit = kRecordsPerPoll;
        SystemLog::LogRowList rows;
        qint64 lastId = current.listing.afterId;
        int read = 0;
        const bool ok = reader.select(selection, [&](const SystemLog::LogRecordView &r) {
            lastId = r.id;
            ++read;
            if (withinBounds(r, from, to))
                rows.append({QString::fromUtf8(r.datetime.data(), int(r.datetime.size())),
                             QString::fromUtf8(r.message.data(), int(r.message.size()))});
            return true;
        });
        // What was read before a failure is handed over all the same; the rest comes next time.
        current.listing.afterId = lastId;
        if (ok) {
            more = read >= kRecordsPerPoll;
            if (!more)
                seenVersion = version;
        } else if (!reader.lastErrorIsTransient()) {
            reader.close();
        }
        if (!rows.isEmpty()) {
            // Moved, not copied: from here on the window's thread alone holds the rows (and frees
            // them), and this thread touches nothing of them again. The posted event orders their
            // writes here before the reads there.
            const quint64 generation = current.generation;
            QMetaObject::invokeMethod(
                this,
                [this, generation, rows = std::move(rows), lastId] {
                    deliver(generation, rows, lastId);
                },
                Qt::QueuedConnection);
        }
    }
}
