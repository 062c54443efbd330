#include "read/LogTail.h"

#include <QThread>

namespace SystemLog {

namespace {

constexpr qint64 kLowestId = std::numeric_limits<qint64>::min();
// What is new usually lies in the last few ids: read along them, the bounds checked on each row,
// rather than sought in the index over the whole span of a day's listing. A longer stretch (a
// forwarder catching up from its cursor with --from) is narrowed on the index first.
constexpr qint64 kAlongIds = 50000;
// How often a wait for the file looks whether it is to end.
constexpr int kStopCheckMs = 20;

// What tells one record from another where they share an id: its stamp and its message.
QByteArray contentsOf(const LogRecordView &record)
{
    QByteArray contents(record.datetime.data(), static_cast<int>(record.datetime.size()));
    contents += '\0';
    contents.append(record.message.data(), static_cast<int>(record.message.size()));
    return contents;
}

} // namespace

LogTail::LogTail(const QString &path) : m_path(path) {}

LogTail::~LogTail() = default;

void LogTail::setSelection(const LogSelection &selection)
{
    m_selection = selection;
    m_selection.newestFirst = false;
    m_seenVersion = -1;
}

void LogTail::setBusyTimeout(int ms)
{
    m_reader.setBusyTimeout(ms);
}

void LogTail::startAfter(qint64 id)
{
    m_position = id;
    m_rememberPending = true;
    m_known = false;
    m_seenVersion = -1;
}

LogTail::Poll LogTail::state(State state, const QString &key, const QString &reason)
{
    Poll p;
    p.state = state;
    p.reason = reason;
    p.isNew = m_said.isNew(key);
    return p;
}

LogTail::Poll LogTail::failure()
{
    const QString reason = m_reader.errorString();
    if (m_reader.lastErrorIsTransient())
        return state(State::Waiting, QStringLiteral("waiting"), reason);
    // Opened (and checked to be a log) again on the next poll.
    m_reader.close();
    return state(State::Failed, QStringLiteral("failed: ") + reason, reason);
}

LogTail::Poll LogTail::readFailure()
{
    if (m_reader.lastErrorIsTransient())
        return failure();
    // Opened again at once, so that the state said is the one the next polls find: a file
    // written over with one that is no log is said once, not once as unreadable and again as no
    // log. A log that opens but cannot be read stays open, failing the same way.
    const QString reason = m_reader.errorString();
    m_reader.close();
    const Poll reopened = open();
    if (reopened.state != State::Reading)
        return reopened;
    return state(State::Failed, QStringLiteral("failed: ") + reason, reason);
}

LogTail::Poll LogTail::replaced()
{
    m_position = kLowestId;
    m_known = false;
    m_rememberPending = false;
    m_seenVersion = -1;
    m_said.clear();
    Poll p;
    p.state = State::Replaced;
    p.isNew = true;
    return p;
}

LogTail::Poll LogTail::open()
{
    const FileIdentity now = FileIdentity::of(m_path);
    // The reader keeps the file it opened: one that is gone from the path is let go.
    if (m_reader.isOpen() && now != m_opened)
        m_reader.close();
    if (!now.exists)
        return state(State::Removed, QStringLiteral("removed"), QStringLiteral("no such file"));
    if (!m_reader.isOpen()) {
        if (!m_reader.open(m_path))
            return failure();
        m_opened = now;
        m_seenVersion = -1;
    }
    return Poll();
}

// In short steps, so that a stop request ends the wait at once. False once it asks to stop.
bool LogTail::pause(int ms, const std::function<bool()> &stop)
{
    for (int waited = 0; waited < ms && !stop(); waited += kStopCheckMs)
        QThread::msleep(static_cast<unsigned long>(kStopCheckMs));
    return !stop();
}

LogTail::Poll LogTail::openWaiting(int retryMs, const std::function<bool()> &stop,
                                   const std::function<void(const Poll &)> &onWaiting)
{
    for (;;) {
        const Poll opened = open();
        if (opened.state != State::Waiting)
            return opened;
        onWaiting(opened);
        if (!pause(retryMs, stop))
            return opened;
    }
}

LogTail::Poll LogTail::readWaiting(int retryMs, const std::function<bool()> &stop,
                                   const std::function<void(const Poll &)> &onWaiting,
                                   const std::function<bool()> &read)
{
    // Said once for this wait: a read that follows a successful open is a new try.
    OnceSaid said;
    for (;;) {
        if (read())
            return Poll();
        Poll p;
        p.reason = m_reader.errorString();
        if (!m_reader.lastErrorIsTransient()) {
            p.state = State::Failed;
            p.isNew = true;
            return p;
        }
        p.state = State::Waiting;
        p.isNew = said.isNew(QStringLiteral("waiting"));
        onWaiting(p);
        if (!pause(retryMs, stop))
            return p;
    }
}

bool LogTail::remember(qint64 id)
{
    m_known = false;
    m_rememberPending = false;
    if (id == kLowestId)
        return true;
    const bool read = m_reader.recordAt(id, [&](const LogRecordView &record) {
        if (!m_known)
            m_knownContents = contentsOf(record);
        m_known = true;
        m_knownId = id;
        return true;
    });
    m_rememberPending = !read;
    return read;
}

LogTail::Contents LogTail::checkContents()
{
    if (m_rememberPending)
        return remember(m_position) ? Contents::Same : Contents::Unknown;
    if (!m_known)
        return Contents::Same;
    bool same = false;
    const bool read = m_reader.recordAt(m_knownId, [&](const LogRecordView &record) {
        same = same || contentsOf(record) == m_knownContents;
        return true;
    });
    if (!read)
        return Contents::Unknown;
    return same ? Contents::Same : Contents::Replaced;
}

LogTail::Poll LogTail::poll(const LogReader::RowCallback &onRow, qint64 limit)
{
    Poll p = open();
    if (p.state != State::Reading)
        return p;
    qint64 version = 0;
    if (!m_reader.dataVersion(&version))
        return readFailure();
    if (version == m_seenVersion) {
        m_said.clear();
        return p;
    }
    // Something changed: still the log that was read, or another one written over it?
    const Contents contents = checkContents();
    if (contents != Contents::Same)
        return contents == Contents::Replaced ? replaced() : readFailure();

    // Up to the highest id now: rows stored meanwhile are read on the next poll, since they
    // change the version.
    qint64 top = 0;
    bool none = true;
    if (!m_reader.maxId(&top, &none))
        return readFailure();
    // Every id below the position: the ids of one log only grow, so this is another one.
    if (!none && top < m_position && m_position != kLowestId)
        return replaced();
    LogSelection selection = m_selection;
    selection.afterId = m_position;
    selection.upToId = top;
    selection.limit = limit;
    // (A caller that has sought the start of the bounds itself reads along the ids throughout.)
    selection.alongIds =
        m_selection.alongIds || top < kLowestId + kAlongIds || m_position >= top - kAlongIds;
    qint64 last = m_position;
    bool stopped = false;
    const bool ok = none || m_reader.select(selection, [&](const LogRecordView &record) {
        last = record.id;
        ++p.rows;
        stopped = !onRow(record);
        return !stopped;
    });
    p.more = stopped || (limit >= 0 && p.rows >= limit);
    // What was handed over before a failure counts; the rest comes on a later poll.
    if (!ok || p.more)
        m_position = last;
    else if (!none)
        m_position = std::max(m_position, top);
    if (!ok) {
        Poll failed = readFailure();
        failed.rows = p.rows;
        return failed;
    }
    remember(m_position);
    if (!p.more)
        m_seenVersion = version;
    m_said.clear();
    return p;
}

} // namespace SystemLog
