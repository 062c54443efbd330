// follow: the last matching records (or those after a cursor file's), then every new one as it
// is stored, until interrupted.

#include "Command.h"
#include "CursorFile.h"
#include "Options.h"
#include "StopSignal.h"
#include "read/FileState.h"
#include "read/LogTail.h"
#include "text/Output.h"

#include <QThread>

#include <csignal>
#include <limits>

namespace TallyLog {

namespace {

using SystemLog::LogTail;

constexpr int kFollowBacklog = 10;
constexpr int kFollowPollMs = 200;
// With a cursor file the file is saved after every batch printed and within a long batch after
// this many records: a follow killed outright prints at most these again when restarted, one
// stopped by SIGINT or SIGTERM none.
constexpr int kCursorSaveEvery = 1000;

void pause()
{
    for (int waited = 0; waited < kFollowPollMs && !stopRequested(); waited += 20)
        QThread::msleep(20);
}

// One run of follow: the backlog, then the tail of the file; each record printed and flushed,
// the cursor file kept at the last record read, and the states of the file said once.
class FollowRun
{
public:
    FollowRun(const QString &path, const QString &cursorPath, RecordFormatter formatter)
        : m_path(path), m_cursorPath(cursorPath), m_cursor(cursorPath), m_tail(path),
          m_formatter(std::move(formatter))
    {
    }

    int run(const SystemLog::LogSelection &selection, qint64 backlog);

private:
    bool open(int *status);
    bool printBacklog(qint64 backlog, int *status);
    bool readBacklog(qint64 backlog, qint64 *top);
    int follow();
    void sayState(const LogTail::Poll &poll);
    void say(const QString &state);
    bool print(const SystemLog::LogRecordView &record);
    bool save();
    int finish(int status);

    QString m_path;
    QString m_cursorPath;
    CursorFile m_cursor;
    LogTail m_tail;
    RecordFormatter m_formatter;
    SystemLog::LogSelection m_selection;
    std::string m_buffer;
    QString m_cursorError;
    qint64 m_cursorId = 0;
    bool m_resume = false;
    bool m_writeFailed = false;
    bool m_saveFailed = false;
    qint64 m_lastId = 0; // the last record read: printed, or passed over by the selection
    qint64 m_savedId = -1;
    int m_unsaved = 0;
};

int FollowRun::run(const SystemLog::LogSelection &selection, qint64 backlog)
{
    m_selection = selection;
    // Where an earlier follow with this cursor file stopped; a new file starts with the last N.
    if (!m_cursorPath.isEmpty() &&
        (!m_cursor.lock(&m_cursorError) || !m_cursor.load(&m_cursorId, &m_resume, &m_cursorError)))
        return failure(m_cursorPath, m_cursorError);
    // A reader that goes away makes the write fail instead of killing the process, so that the
    // cursor file is still saved at the last record written.
    if (!m_cursorPath.isEmpty())
        std::signal(SIGPIPE, SIG_IGN);
    int status = kExitDone;
    if (!open(&status))
        return status;
    m_formatter.appendStart(m_buffer);
    if (!printBacklog(backlog, &status))
        return status;
    return follow();
}

// A file that stays busy (or locked) is waited for, said once; until the first records are out
// any other failure ends the command.
bool FollowRun::open(int *status)
{
    const LogTail::Poll opened = m_tail.openWaiting(
        kFollowPollMs, stopRequested, [this](const LogTail::Poll &waiting) { sayState(waiting); });
    if (opened.state == LogTail::State::Reading)
        return true;
    *status = opened.state == LogTail::State::Waiting ? kExitDone : failure(m_path, opened.reason);
    return false;
}

bool FollowRun::printBacklog(qint64 backlog, int *status)
{
    qint64 top = 0;
    const LogTail::Poll read = m_tail.readWaiting(
        kFollowPollMs, stopRequested, [this](const LogTail::Poll &waiting) { sayState(waiting); },
        [&] { return readBacklog(backlog, &top) || m_writeFailed || m_saveFailed; });
    if (m_writeFailed || m_saveFailed) {
        *status = finish(kExitFailure);
        return false;
    }
    if (read.state == LogTail::State::Failed) {
        *status = failure(m_path, read.reason);
        return false;
    }
    if (read.state == LogTail::State::Waiting) { // asked to stop
        *status = finish(kExitDone);
        return false;
    }
    // The backlog ends at `top` even where its last records were not selected; after a stop
    // request it ends at the last record printed.
    if (!stopRequested())
        m_lastId = qMax(m_lastId, top);
    if (!writeOut(m_buffer, true) || !save()) {
        *status = finish(kExitFailure);
        return false;
    }
    m_tail.setSelection(m_selection);
    m_tail.startAfter(m_lastId);
    return true;
}

// One try at the backlog: the last N records up to `top`, or, resuming, those after the cursor
// file's record (after a failure part way, those after the last record printed).
bool FollowRun::readBacklog(qint64 backlog, qint64 *top)
{
    SystemLog::LogReader &reader = m_tail.reader();
    if (!reader.maxId(top))
        return false;
    if (m_resume && m_cursorId > *top) {
        printLine(stderr, QStringLiteral("tallylog: %1: record %2 is beyond the last record "
                                         "(%3) of %4; starting afresh")
                              .arg(m_cursorPath)
                              .arg(m_cursorId)
                              .arg(*top)
                              .arg(m_path));
        m_resume = false;
    }
    const auto print = [this](const SystemLog::LogRecordView &r) { return this->print(r); };
    SystemLog::LogSelection selection = m_selection;
    if (m_resume) {
        selection.afterId = qMax(m_cursorId, m_lastId);
        m_lastId = selection.afterId;
        return reader.select(selection, print);
    }
    const int count = static_cast<int>(qMin<qint64>(backlog, std::numeric_limits<int>::max()));
    return reader.selectLast(selection, count, *top, print);
}

// Afterwards the file is waited for whatever its state, as `tail -F` does.
int FollowRun::follow()
{
    const auto print = [this](const SystemLog::LogRecordView &r) { return this->print(r); };
    bool more = false;
    while (!stopRequested()) {
        if (!more)
            pause();
        if (stopRequested())
            break;
        const LogTail::Poll poll = m_tail.poll(print);
        if (m_writeFailed || m_saveFailed)
            return finish(kExitFailure);
        more = poll.more;
        sayState(poll);
        if (poll.state == LogTail::State::Reading || poll.state == LogTail::State::Replaced)
            m_lastId = poll.state == LogTail::State::Reading ? m_tail.position() : 0;
        if (!save())
            return finish(kExitFailure);
    }
    return finish(kExitDone);
}

void FollowRun::sayState(const LogTail::Poll &poll)
{
    if (!poll.isNew)
        return;
    switch (poll.state) {
    case LogTail::State::Reading:
        break;
    case LogTail::State::Removed:
        say(QStringLiteral("removed; waiting for it to come back"));
        break;
    case LogTail::State::Replaced:
        say(QStringLiteral("replaced by another file; following it from its start"));
        break;
    case LogTail::State::Waiting:
    case LogTail::State::Failed:
        say(poll.reason + QStringLiteral(" (still trying)"));
        break;
    }
}

void FollowRun::say(const QString &state)
{
    printLine(stderr, QStringLiteral("tallylog: %1: %2").arg(m_path, state));
}

// Each record is flushed before the cursor file may name it, so that the file never runs ahead
// of the output; a stop request ends a batch after the record being printed.
bool FollowRun::print(const SystemLog::LogRecordView &record)
{
    m_formatter.appendRecord(m_buffer, record);
    if (!writeOut(m_buffer, true)) {
        m_writeFailed = true;
        return false;
    }
    m_lastId = record.id;
    if (++m_unsaved >= kCursorSaveEvery && !save())
        return false;
    return !stopRequested();
}

bool FollowRun::save()
{
    if (m_cursorPath.isEmpty() || m_lastId == m_savedId)
        return true;
    if (!m_cursor.save(m_lastId, &m_cursorError)) {
        m_saveFailed = true;
        return false;
    }
    m_savedId = m_lastId;
    m_unsaved = 0;
    return true;
}

int FollowRun::finish(int status)
{
    if (!save())
        return failure(m_cursorPath, m_cursorError);
    return m_writeFailed ? kExitFailure : status;
}

class FollowCommand : public Command
{
public:
    FollowCommand()
        : Command("follow",
                  "[--type T[,T...]] [--grep TEXT] [-g PATTERN [--case-sensitive]] [-n N] "
                  "[--cursor-file FILE] [-o text|window|csv|json] [--color WHEN] "
                  "[--escape | --raw]",
                  "Prints the last 10 (-n) matching records, or those after the cursor file's, "
                  "then every new one as it is stored, until interrupted (Ctrl+C).")
    {
    }

    void addOptions(QCommandLineParser &parser) const override
    {
        m_selection.addTo(parser);
        parser.addOption(m_linesOption);
        parser.addOption(m_cursorOption);
        m_format.addTo(parser);
        m_style.addTo(parser);
    }

    bool readOptions(const QCommandLineParser &parser, QString *problem) override
    {
        if (!m_selection.read(parser, &m_query, problem) ||
            !readCount(parser, m_linesOption, &m_backlog, problem) ||
            !m_format.read(parser, problem) || !m_style.read(parser, m_format, problem))
            return false;
        return readNonEmpty(parser, m_cursorOption, "a file name", &m_cursorPath, problem);
    }

    int run(const QString &path) override
    {
        return followLog(
            path, m_query, m_backlog, m_cursorPath,
            RecordFormatter(m_format.format, m_query.types.size() != 1, m_style.style));
    }

private:
    SelectionOptions m_selection;
    SystemLog::LogSelection m_query; // types and grep; the ids are the loop's
    FormatOption m_format;
    TextStyleOptions m_style;
    QCommandLineOption m_linesOption = linesOption(
        QStringLiteral("The last N records to show before following (default 10; 0: none)."));
    QCommandLineOption m_cursorOption{
        QStringLiteral("cursor-file"),
        QStringLiteral("Start after the record whose id FILE holds (a new FILE: the last N) and "
                       "keep FILE at the last record read, replaced atomically."),
        QStringLiteral("FILE")};
    qint64 m_backlog = kFollowBacklog;
    QString m_cursorPath;
};

} // namespace

int followLog(const QString &path, const SystemLog::LogSelection &selection, qint64 backlog,
              const QString &cursorPath, RecordFormatter formatter)
{
    catchStopSignals();
    FollowRun run(path, cursorPath, std::move(formatter));
    return run.run(selection, backlog);
}

std::unique_ptr<Command> makeFollowCommand()
{
    return std::make_unique<FollowCommand>();
}

} // namespace TallyLog
