#pragma once

// One tallylog command: its name, its usage line, its sentence in --help, the options it takes,
// their checks and its run. The table of commands (commandTable) is the one list of them; the
// entry point, usage and help are built from it.

#include "forward/ForwardRun.h"
#include "read/LogReader.h"
#include "text/RecordFormat.h"

#include <QCommandLineParser>
#include <QString>

#include <memory>
#include <vector>

namespace TallyLog {

class Command
{
public:
    Command(const char *name, const char *synopsis, const char *description)
        : m_name(name), m_synopsis(synopsis), m_description(description)
    {
    }
    virtual ~Command() = default;
    Command(const Command &) = delete;
    Command &operator=(const Command &) = delete;

    QString name() const { return QLatin1String(m_name); }
    // The options as one line of usage ("[--day D] ..."), without the name.
    QString synopsis() const { return QString::fromUtf8(m_synopsis); }
    QString description() const { return QString::fromUtf8(m_description); }
    // "tallylog [--db PATH] <name> <synopsis>"
    QString usage() const;

    // Adds the options the command takes, in the order --help lists them (--help and --db,
    // which every command takes, are added before).
    virtual void addOptions(QCommandLineParser &parser) const = 0;
    // Reads the options once parsed; false with *problem when they are wrong or do not fit
    // together.
    virtual bool readOptions(const QCommandLineParser &parser, QString *problem) = 0;
    // Runs on the log file at `path`; returns the exit status.
    virtual int run(const QString &path) = 0;
    // Whether, once the options are read, the output is one to page on a terminal (a listing,
    // not a stream that follows the log nor a one-line report).
    virtual bool pages() const { return false; }

private:
    const char *m_name;
    const char *m_synopsis;
    const char *m_description;
};

using CommandTable = std::vector<std::unique_ptr<Command>>;

// Every command, in the order of --help; `forward` runs through `runForward`, the program's own.
CommandTable commandTable(ForwardRunner runForward);

// The makers of the table's commands, one file each under commands/.
std::unique_ptr<Command> makeListCommand();
std::unique_ptr<Command> makeFollowCommand();
std::unique_ptr<Command> makeStatsCommand();
std::unique_ptr<Command> makeExportCommand();
std::unique_ptr<Command> makePruneCommand();
std::unique_ptr<Command> makeForwardCommand(ForwardRunner runForward);

// What follow runs, and list -f: the last `backlog` records of the selection (or those after the
// cursor file's record, when `cursorPath` is given), then every new one as it is stored, until
// SIGINT or SIGTERM; returns the exit status.
int followLog(const QString &path, const SystemLog::LogSelection &selection, qint64 backlog,
              const QString &cursorPath, RecordFormatter formatter);

} // namespace TallyLog
