// follow: the last matching records (or those after a cursor file's), then every new one as it
// is stored, until interrupted.

#include "Command.h"
#include "CursorFile.h"
#include "FileChangeWatch.h"
#include "Options.h"
#include "StopSignal.h"
#include "read/LogReader.h"
#include "text/Output.h"

#include <QThread>

#include <csignal>
#include <limits>

namespace TallyLog {

namespace {

constexpr int kFollowBacklog = 10;
constexpr int kFollowPollMs = 200;
// With a cursor file the file is saved after every batch printed and within a long batch after
// this many records: a follow killed outright prints at most these again when restarted, one
// stopped by SIGINT or SIGTERM none.
constexpr int kCursorSaveEvery = 1000;

class FollowCommand : public Command
{
public:
    FollowCommand()
        : Command("follow",
                  "[--type T[,T...]] [--grep TEXT] [-n N] [--cursor-file FILE] "
                  "[--format text|csv|json] [--color WHEN] [--escape | --raw]",
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
            !m_format.read(parser, problem) || !m_style.read(parser, m_format.format, problem))
            return false;
        return readNonEmpty(parser, m_cursorOption, "a file name", &m_cursorPath, problem);
    }

    int run(const QString &path) override;

private:
    bool waitIfBusy(const SystemLog::LogReader &reader);
    void say(const QString &state);
    static void pause();

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
    QString m_path;
    QString m_said;
    bool m_started = false;
};

// A file that stays busy (or locked) is waited for: said once on standard error, then tried
// again on every poll. Until the first records are out any other failure ends the command;
// afterwards the file is waited for whatever its state, as `tail -F` does.
bool FollowCommand::waitIfBusy(const SystemLog::LogReader &reader)
{
    if (!m_started && !reader.lastErrorIsTransient())
        return false;
    say(reader.errorString() + QStringLiteral(" (still trying)"));
    return true;
}

// Says a state of the file once, however many polls it lasts.
void FollowCommand::say(const QString &state)
{
    if (state != m_said)
        printLine(stderr, QStringLiteral("tallylog: %1: %2").arg(m_path, state));
    m_said = state;
}

void FollowCommand::pause()
{
    for (int waited = 0; waited < kFollowPollMs && !stopRequested(); waited += 20)
        QThread::msleep(20);
}

int FollowCommand::run(const QString &path)
{
    catchStopSignals();
    m_path = path;

    // Where an earlier follow with this cursor file stopped; a new file starts with the last N.
    CursorFile cursor(m_cursorPath);
    qint64 cursorId = 0;
    bool resume = false;
    QString cursorError;
    if (!m_cursorPath.isEmpty() && !cursor.load(&cursorId, &resume, &cursorError))
        return failure(m_cursorPath, cursorError);
    // A reader that goes away makes the write fail instead of killing the process, so that the
    // cursor file is still saved at the last record written.
    if (!m_cursorPath.isEmpty())
        std::signal(SIGPIPE, SIG_IGN);

    SystemLog::LogReader reader;
    FileChangeWatch watch;
    watch.watch(path);
    while (!reader.open(path)) {
        if (!waitIfBusy(reader))
            return failure(path, reader.errorString());
        pause();
        if (stopRequested())
            return kExitDone;
    }
    SystemLog::LogSelection selection = m_query;
    RecordFormatter formatter(m_format.format, selection.types.size() != 1, m_style.style);
    std::string buffer;
    formatter.appendStart(buffer);
    bool writeFailed = false;
    bool saveFailed = false;
    qint64 lastId = 0; // the last record read: printed, or passed over by the selection
    qint64 savedId = -1;
    int unsaved = 0;
    const auto save = [&] {
        if (m_cursorPath.isEmpty() || lastId == savedId)
            return true;
        if (!cursor.save(lastId, &cursorError)) {
            saveFailed = true;
            return false;
        }
        savedId = lastId;
        unsaved = 0;
        return true;
    };
    // Each record is flushed before the cursor file may name it, so that the file never runs
    // ahead of the output; a stop request ends a batch after the record being printed.
    const auto print = [&](const SystemLog::LogRecordView &record) {
        formatter.appendRecord(buffer, record);
        if (!writeOut(buffer, true)) {
            writeFailed = true;
            return false;
        }
        lastId = record.id;
        watch.remember(record);
        if (++unsaved >= kCursorSaveEvery && !save())
            return false;
        return !stopRequested();
    };
    const auto finish = [&](int status) {
        if (!save())
            return failure(m_cursorPath, cursorError);
        return writeFailed ? kExitFailure : status;
    };

    // The version first: a record stored while the backlog is read changes it, and is read on
    // the first poll.
    qint64 version = 0;
    qint64 top = 0;
    for (;;) {
        bool ok = reader.dataVersion(&version) && reader.maxId(&top);
        if (ok && resume && cursorId > top) {
            printLine(stderr, QStringLiteral("tallylog: %1: record %2 is beyond the last record "
                                             "(%3) of %4; starting afresh")
                                  .arg(m_cursorPath)
                                  .arg(cursorId)
                                  .arg(top)
                                  .arg(path));
            resume = false;
        }
        if (ok && resume) {
            selection.afterId = cursorId;
            lastId = cursorId;
            ok = reader.select(selection, print);
        } else if (ok) {
            const int backlog =
                static_cast<int>(qMin<qint64>(m_backlog, std::numeric_limits<int>::max()));
            ok = reader.selectLast(selection, backlog, top, print);
        }
        if (writeFailed || saveFailed)
            return finish(kExitFailure);
        if (ok)
            break;
        if (!waitIfBusy(reader))
            return failure(path, reader.errorString());
        pause();
        if (stopRequested())
            return finish(kExitDone);
    }
    // The backlog ends at `top` even where its last records were not selected; after a stop
    // request it ends at the last record printed.
    if (!stopRequested())
        lastId = qMax(lastId, top);
    if (!writeOut(buffer, true) || !save())
        return finish(kExitFailure);
    if (lastId > 0)
        watch.rememberAt(reader, lastId);
    m_started = true;

    const QString replaced =
        QStringLiteral("replaced by another file; following it from its start");
    while (!stopRequested()) {
        pause();
        if (stopRequested())
            break;
        const FileChangeWatch::Change change = watch.fileChange();
        if (change == FileChangeWatch::Change::Removed) {
            say(QStringLiteral("removed; waiting for it to come back"));
            continue;
        }
        if (change == FileChangeWatch::Change::Replaced) {
            say(replaced);
            watch.watch(path);
            reader.close();
            lastId = 0;
        }
        const bool reopened = !reader.isOpen();
        if (reopened && !reader.open(path)) {
            waitIfBusy(reader);
            continue;
        }
        qint64 now = 0;
        bool ok = reader.dataVersion(&now);
        if (ok && now == version && !reopened)
            continue;
        if (ok && watch.contentsReplaced(reader)) {
            say(replaced);
            watch.watch(path);
            lastId = 0;
        }
        selection.afterId = lastId;
        ok = ok && reader.select(selection, print);
        if (writeFailed || saveFailed)
            return finish(kExitFailure);
        if (!ok) {
            waitIfBusy(reader);
            continue;
        }
        if (!save())
            return finish(kExitFailure);
        m_said.clear();
        version = now;
    }
    return finish(kExitDone);
}

} // namespace

std::unique_ptr<Command> makeFollowCommand()
{
    return std::make_unique<FollowCommand>();
}

} // namespace TallyLog
