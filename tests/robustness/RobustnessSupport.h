#pragma once

// Test-side helpers of the robustness tests: a temporary working directory that a restricted
// child can use, running a helper program with a hang guard and reading its report, fingerprints
// of files that must stay unchanged, and log files made with a connection of the test's own.

#include "ChildProcess.h"
#include "ChildSupport.h"
#include "TestFiles.h"
#include "TestLogFile.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>

namespace Robustness {

// Generous bound on a child's whole run: a guard against hangs, not a speed requirement.
constexpr int kChildTimeoutMs = TestFiles::kHangGuardMs;

bool runningAsRoot();

// A fresh working directory for one case, plus a home directory beside it for the child (the
// toolkit keeps dialog state there, which must not land in the working directory).
class Workspace
{
public:
    Workspace();
    ~Workspace();
    Workspace(const Workspace &) = delete;
    Workspace &operator=(const Workspace &) = delete;

    bool isValid() const;
    QString path() const { return m_work->path(); }
    QString home() const { return m_home->path(); }
    QString filePath(const QString &name) const { return m_work->filePath(name); }

    // Prepares the workspace for a child that must not be able to get around permission bits.
    // As root the child drops to uid 65534, so the whole tree is handed to that user first (it
    // then meets the ownership an ordinary user has; the case's chmod calls come afterwards).
    // Returns false with a reason when a child of that user could not reach the workspace.
    bool prepareForRestrictedChild(QString *why);

    // The options that make a child restricted (empty unless running as root).
    QStringList restrictedOptions() const;

private:
    std::unique_ptr<QTemporaryDir> m_work;
    std::unique_ptr<QTemporaryDir> m_home;
};

struct ChildResult
{
    bool started = false;
    bool timedOut = false;
    QProcess::ExitStatus exitStatus = QProcess::NormalExit;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    QList<QPair<QString, QString>> lines; // the child's "key value" reports, in order

    bool ranToEnd() const;
    // The child found that the restriction it was asked for does not hold here.
    bool restrictionUnavailable() const;
    QString value(const QString &key) const; // the last report of key, or a null string
    QStringList values(const QString &key) const;
    // Total of the "SystemLog: N log records lost" lines on standard error.
    long long lostReported() const;
    int lossLines() const;
    QString describe() const;
};

// A child running beside the test, which waits for its reports and talks to it on its standard
// input; several can run at once.
class RunningChild
{
public:
    // `environment` is added to the child's environment.
    RunningChild(const QString &program, const QStringList &arguments, const Workspace &workspace,
                 const QString &workingDirectory = QString(),
                 const QMap<QString, QString> &environment = {});
    ~RunningChild();
    RunningChild(const RunningChild &) = delete;
    RunningChild &operator=(const RunningChild &) = delete;

    bool started() const { return m_result.started; }
    bool running() const;
    qint64 pid() const;
    // Waits until the child has reported `key` `count` times; false once it has ended without,
    // or after the hang guard.
    bool waitFor(const QString &key, int count = 1);
    // Writes one line to its standard input.
    void send(const QByteArray &line);
    // Waits for its end (killing it after the hang guard) and returns what it did.
    ChildResult finish();

private:
    void readLines();

    std::unique_ptr<QProcess> m_process;
    ChildResult m_result;
    QByteArray m_partial;
};

// Runs the program to its end; whileRunning, if given, runs in the test once the child has
// started (it may wait with QTest::qWait).
ChildResult runChild(const QString &program, const QStringList &arguments,
                     const Workspace &workspace, const QString &workingDirectory = QString(),
                     const std::function<void()> &whileRunning = nullptr);

// Type, permission bits and content of a file (its SHA-256), or the same of every entry below
// a directory. Reads a file the test's own user is not allowed to read by lending itself the
// read bit for the moment.
QByteArray fingerprint(const QString &path);
// Names of the entries of a directory, sorted, one level.
QStringList entries(const QString &directory);

QByteArray randomBytes(int size, quint32 seed);
using TestFiles::kHangGuardMs;
using TestFiles::readFile;
using TestFiles::writeFile;

using StoredRecord = TestLogFile::Record;

// Creates the log table in the SQLite file `path` (as the service defines it) if missing and
// adds the records, with their stamps, through a connection of the test's own.
bool writeLogFile(const QString &path, const QList<StoredRecord> &records);
// Runs statements on the SQLite file `path` through a connection of the test's own.
bool execOnFile(const QString &path, const QStringList &statements);
// The records of the log (or side) file `path` in the order of their ids; *ok is false when it
// cannot be read. recordCount: their number, -1 when the file cannot be read.
QList<StoredRecord> readLogFile(const QString &path, bool *ok);
int recordCount(const QString &path);

// The side file beside "dbLog.db" in which an earlier version kept records the log could not
// take, and the spill journal's directory, where the service keeps them now.
extern const QString kSideFile;
extern const QString kSpillDir;
// The messages waiting in the spill journal at `dir`, segment by segment, in order.
QStringList spilledMessages(const QString &dir);
// Whether the spill journal at `dir` holds no segment (or is not there at all).
bool spillEmpty(const QString &dir);

// The day on which the cases put their records, and a few records of category 0 on it.
extern const QString kDay;
QList<StoredRecord> recordsOfDay(int count, int messageLength = 20);

// The kinds of "dbLog.db" that is no usable log: a directory, a file of random bytes, an empty
// file, a file of another schema, a real log that cannot be read.
QStringList hostileLogFileKinds();
// The rows of a test function's table, one per kind, in a column "kind".
void addHostileLogFileRows();
// Puts a "dbLog.db" of one of those kinds (or "text primary key": the log's columns with an id
// that is no integer key; or a log whose table refuses every insert: "not null column", another
// program's column that the service does not fill, "aborting trigger") at path; *restricted tells
// whether the case needs a restricted child (see Workspace::prepareForRestrictedChild).
bool makeHostileLogFile(const QString &kind, const QString &path, bool *restricted);
// An empty file becomes a new log that takes the records; every other kind is left as it is and
// the records go to the side file.
bool hostileKindBecomesLog(const QString &kind);

// A workspace's "dbLog.db" made a hostile file of one kind, as a child is run on it: the options
// that run the child (a restricted child where the kind needs one), and the file's fingerprint
// and the directory's entries from before the child ran.
struct HostileLog
{
    QString log;
    QStringList options;
    QByteArray before;
    QStringList around;

    enum class Setup
    {
        Ready,
        Failed,
        Skip, // *why: a restricted child cannot be set up here
    };
    Setup setUp(Workspace &ws, const QString &kind, QString *why);
};

} // namespace Robustness

// Ends the current test function as skipped when a restricted child reported that the
// restriction cannot be had here; the reason says which and why.
#define ROBUSTNESS_SKIP_UNLESS_RESTRICTED(result)                                                  \
    do {                                                                                           \
        if ((result).restrictionUnavailable())                                                     \
            QSKIP(qPrintable(QStringLiteral("the case needs a process that cannot get around "     \
                                            "permission bits or a file-size limit, and none "      \
                                            "could be had: ") +                                    \
                             QString::fromLocal8Bit((result).err).trimmed()));                     \
    } while (false)

// Prepares the workspace for a restricted child, or ends the test function as skipped with the
// reason why that is impossible here.
// Sets up `hostile` (a Robustness::HostileLog) in `workspace`; fails or skips the test function
// where that cannot be done.
#define ROBUSTNESS_SET_UP_HOSTILE_LOG(hostile, workspace, kind)                                    \
    do {                                                                                           \
        QString why_;                                                                              \
        const auto setup_ = (hostile).setUp((workspace), (kind), &why_);                           \
        QVERIFY(setup_ != Robustness::HostileLog::Setup::Failed);                                  \
        if (setup_ == Robustness::HostileLog::Setup::Skip)                                         \
            QSKIP(qPrintable(QStringLiteral("the case needs a child of another user, which "       \
                                            "cannot be set up here: ") +                           \
                             why_));                                                               \
    } while (false)

#define ROBUSTNESS_PREPARE_RESTRICTED(workspace)                                                   \
    do {                                                                                           \
        QString why_;                                                                              \
        if (!(workspace).prepareForRestrictedChild(&why_))                                         \
            QSKIP(qPrintable(QStringLiteral("the case needs a child of another user, which "       \
                                            "cannot be set up here: ") +                           \
                             why_));                                                               \
    } while (false)
