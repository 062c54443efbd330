// follow: the last matching records, then every new one as it is stored, until interrupted.

#include "Command.h"
#include "LogReader.h"
#include "Options.h"
#include "Output.h"

#include <QFileInfo>
#include <QThread>

#include <csignal>

namespace TallyLog {

namespace {

constexpr int kFollowBacklog = 10;
constexpr int kFollowPollMs = 200;

volatile std::sig_atomic_t g_stop = 0;

extern "C" void onStopSignal(int)
{
    g_stop = 1;
}

class FollowCommand : public Command
{
public:
    FollowCommand()
        : Command("follow", "[--type T[,T...]] [--grep TEXT] [--format text|csv|json]",
                  "Prints the last 10 matching records, then every new one as it is stored, "
                  "until interrupted (Ctrl+C).")
    {
    }

    void addOptions(QCommandLineParser &parser) const override
    {
        m_selection.addTo(parser);
        m_format.addTo(parser);
    }

    bool readOptions(const QCommandLineParser &parser, QString *problem) override
    {
        return m_selection.read(parser, problem) && m_format.read(parser, problem);
    }

    int run(const QString &path) override;

private:
    bool waitIfBusy(const SystemLog::LogReader &reader);
    static void pause();

    SelectionOptions m_selection;
    FormatOption m_format;
    QString m_path;
    bool m_reported = false;
};

// A file that stays busy (or locked) is waited for: said once on standard error, then tried
// again on every poll. Any other failure ends the command.
bool FollowCommand::waitIfBusy(const SystemLog::LogReader &reader)
{
    if (!reader.lastErrorIsTransient())
        return false;
    if (!m_reported)
        printLine(
            stderr,
            QStringLiteral("tallylog: %1: %2 (still trying)").arg(m_path, reader.errorString()));
    m_reported = true;
    return true;
}

void FollowCommand::pause()
{
    for (int waited = 0; waited < kFollowPollMs && !g_stop; waited += 20)
        QThread::msleep(20);
}

int FollowCommand::run(const QString &path)
{
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    m_path = path;

    SystemLog::LogReader reader;
    while (!reader.open(path)) {
        if (!waitIfBusy(reader))
            return failure(path, reader.errorString());
        pause();
        if (g_stop)
            return kExitDone;
    }
    SystemLog::LogSelection selection;
    m_selection.applyTo(&selection);
    RecordFormatter formatter(m_format.format, selection.types.size() != 1);
    std::string buffer;
    formatter.appendStart(buffer);
    bool writeFailed = false;
    qint64 lastId = 0;
    const auto print = [&](const SystemLog::LogRecordView &record) {
        formatter.appendRecord(buffer, record);
        lastId = record.id;
        if (!writeOut(buffer, true)) {
            writeFailed = true;
            return false;
        }
        return true;
    };

    // The version first: a record stored while the backlog is read changes it, and is read on
    // the first poll.
    qint64 version = 0;
    qint64 top = 0;
    while (!reader.dataVersion(&version) || !reader.maxId(&top) ||
           !reader.selectLast(selection, kFollowBacklog, top, print)) {
        if (writeFailed)
            return kExitFailure;
        if (!waitIfBusy(reader))
            return failure(path, reader.errorString());
        pause();
        if (g_stop)
            return kExitDone;
    }
    if (writeFailed || !writeOut(buffer, true))
        return kExitFailure;
    lastId = qMax(lastId, top);

    while (!g_stop) {
        pause();
        if (g_stop)
            break;
        if (!QFileInfo::exists(path))
            return failure(path, QStringLiteral("no such file (removed)"));
        qint64 now = 0;
        bool ok = reader.dataVersion(&now);
        if (ok && now == version)
            continue;
        selection.afterId = lastId;
        ok = ok && reader.select(selection, print);
        if (writeFailed)
            return kExitFailure;
        if (!ok) {
            if (!waitIfBusy(reader))
                return failure(path, reader.errorString());
            continue;
        }
        m_reported = false;
        version = now;
    }
    return kExitDone;
}

} // namespace

std::unique_ptr<Command> makeFollowCommand()
{
    return std::make_unique<FollowCommand>();
}

} // namespace TallyLog
