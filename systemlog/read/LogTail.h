#pragma once

#include "read/FileState.h"
#include "read/LogReader.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <limits>

namespace SystemLog {

// Follows a log file as programs store records in it: each poll hands over the records of a
// selection stored since the last one, by id, on a connection of its own. Under `tallylog
// follow`, `tallylog forward` and the window's live update, which poll it from a thread of their
// own and keep for themselves what they do with the records and the states.
//
// A poll costs one statement while nothing changes (SQLite's data_version). It notices when the
// file at the path is another one: moved over, removed and made anew, or written over in place
// (the last record read is gone from it, or is another one now). A file that is busy, locked or
// holds a crashed writer's transaction (a hot journal, which only a writer may undo) is a passing
// state, tried again on the next poll; a file that is no log (any more) is tried again as well.
class LogTail
{
public:
    enum class State
    {
        Reading,  // the file was read: `rows` records handed over (0: nothing new)
        Waiting,  // busy, locked, or a crashed writer's transaction not yet undone
        Removed,  // no file at the path
        Replaced, // another log is at the path; the next polls read it from its first record
        Failed,   // the file cannot be read: not a log, not a regular file, damaged...
    };
    struct Poll
    {
        State state = State::Reading;
        qint64 rows = 0;    // records handed over
        bool more = false;  // stopped at the limit or by the callback: there may be more now
        bool isNew = false; // the first poll in this state (OnceSaid): the one to say it
        QString reason;     // Waiting, Removed, Failed: why, in the reader's words
    };

    explicit LogTail(const QString &path);
    ~LogTail();
    LogTail(const LogTail &) = delete;
    LogTail &operator=(const LogTail &) = delete;

    QString path() const { return m_path; }
    // The records to hand over: types, grep and bounds of the selection (its ids, limit and
    // order are the tail's).
    void setSelection(const LogSelection &selection);
    // How long a statement waits for a writer's lock (LogReader::setBusyTimeout).
    void setBusyTimeout(int ms);
    // The next poll hands over the records after this id of the file it finds then.
    void startAfter(qint64 id);
    // The last id handed over or passed over (all before it were read).
    qint64 position() const { return m_position; }

    // Opens the file when it is not open (or another one is at the path): Reading once it is.
    Poll open();
    // Opens the file, trying again every `retryMs` for as long as it is in a passing state
    // (Waiting); each such poll goes to `onWaiting`, whose isNew marks the one to say. Returns the
    // first poll in another state, or the last Waiting one once `stop` asks to end the wait.
    Poll openWaiting(int retryMs, const std::function<bool()> &stop,
                     const std::function<void(const Poll &)> &onWaiting);
    // The tail's connection, open after open() said Reading, for reads of the caller's own.
    LogReader &reader() { return m_reader; }
    // Runs `read`, a read of the caller's own through reader(), until it succeeds, trying again
    // as openWaiting() does while the reader's error is a passing one. Returns Reading once it
    // succeeded, Failed with the reader's reason for any other error, or the last Waiting poll
    // once `stop` asks to end the wait.
    Poll readWaiting(int retryMs, const std::function<bool()> &stop,
                     const std::function<void(const Poll &)> &onWaiting,
                     const std::function<bool()> &read);

    // Hands over the records stored since the last poll, in id order, at most `limit` of them
    // (< 0: all). Returning false from onRow stops the poll after that record.
    Poll poll(const LogReader::RowCallback &onRow, qint64 limit = -1);

private:
    enum class Contents
    {
        Same,
        Replaced,
        Unknown, // could not be read
    };
    static bool pause(int ms, const std::function<bool()> &stop);
    Contents checkContents();
    bool remember(qint64 id);
    Poll state(State state, const QString &key, const QString &reason);
    Poll failure();     // of the open
    Poll readFailure(); // of a read on the open connection
    Poll replaced();

    QString m_path;
    LogReader m_reader;
    LogSelection m_selection;
    FileIdentity m_opened;
    OnceSaid m_said;
    qint64 m_position = std::numeric_limits<qint64>::min();
    qint64 m_seenVersion = -1; // the file's version when everything up to m_position was read
    bool m_rememberPending = true;
    bool m_known = false; // the record at m_knownId is remembered
    qint64 m_knownId = 0;
    QByteArray m_knownContents;
};

} // namespace SystemLog
