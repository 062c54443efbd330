// The command line of tallylog (and tallylog-forward): the program's options, then the command
// named on it with its own; the commands are in commands/, their table in Command.cpp.

#include "Program.h"

#include "Command.h"
#include "Options.h"
#include "Pager.h"
#include "store/DamagedLog.h"
#include "text/Output.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <csignal>

namespace TallyLog {

namespace {

QString commandNames(const CommandTable &table)
{
    QStringList names;
    for (const auto &command : table)
        names << command->name();
    return names.join(QLatin1Char('|'));
}

// One line: what is wrong and how the command (or the program) is used.
int usageError(const QString &usage, const QString &problem)
{
    printLine(stderr, QStringLiteral("tallylog: %1; usage: %2").arg(problem, usage));
    return kExitUsage;
}

int printHelp(const QString &text)
{
    std::string bytes = text.toStdString();
    return writeOut(bytes, true) ? kExitDone : kExitFailure;
}

QString commandHelp(const QCommandLineParser &parser, const Command &command)
{
    // Qt's first line names no command; it is replaced by the command's own.
    const QString text = parser.helpText();
    return QStringLiteral("Usage: %1\n").arg(command.usage()) +
           text.mid(text.indexOf(QLatin1Char('\n')) + 1);
}

QString programHelp(const QCommandLineParser &parser, const CommandTable &table)
{
    QString text = QStringLiteral("Usage: tallylog [--db PATH] COMMAND [options]\n\n"
                                  "Reads the system log dbLog.db: lists, follows, counts, "
                                  "exports and prunes its records, and forwards them to a "
                                  "central log.\n\nCommands:\n");
    for (const auto &command : table)
        text += QStringLiteral("  %1%2\n").arg(padded(command->name(), 8), command->description());
    text += QStringLiteral(
        "\n'tallylog COMMAND --help' shows a command's options; 'man tallylog' says more.\n"
        "Exit status: 0 done, 1 the file or the output failed (also a damaged file listed in "
        "part), 2 wrong usage.\n\n"
        "On a terminal every format shows control characters in messages escaped (\\e, \\r, "
        "\\x07, \\u009b) and invalid UTF-8 as U+FFFD, the text formats alarms in red and "
        "stamps dimmed, and list and stats page through less; through a pipe text, window and "
        "csv write the messages as stored, uncoloured (--escape, --raw, --color and --no-pager "
        "change this).\n\nEnvironment:\n"
        "  TALLYLOG_PAGER, PAGER  the pager (default less; empty or cat: none)\n"
        "  LESS          less's options, when set (default FRSXMK)\n"
        "  NO_COLOR      set and not empty: no colour unless --color=always\n"
        "  TALLYLOG_NOW  the current time as yyyy-MM-dd hh:mm:ss, in place of the clock, for "
        "tests (today, --since -1h, stats)\n");
    const QString options = parser.helpText();
    return text + options.mid(options.indexOf(QLatin1String("\nOptions:")));
}

// A damaged log that a writer set aside beside the file (and so a new one in its place) is worth
// knowing about before the new one is read: one line each, with how to read it.
void noteSetAside(const QString &path)
{
    const QString dir = QFileInfo(path).path();
    for (const QString &name : SystemLog::DamagedLog::setAsideBeside(path))
        printLine(stderr, QStringLiteral("tallylog: %1: a damaged log was set aside beside it as "
                                         "%2 (read it with --db %3)")
                              .arg(path, name, QDir(dir).filePath(name)));
}

// Parses the command's own options and runs it on the file --db names (given before the command,
// it counts unless it is given again after it).
int runCommand(Command &command, const QCommandLineParser &top, const QStringList &positional,
               bool wantsHelp)
{
    const QCommandLineOption db = dbOption();
    const QCommandLineOption noPager = noPagerOption();
    QCommandLineParser parser;
    parser.setApplicationDescription(command.description());
    const QCommandLineOption commandHelpOption = parser.addHelpOption();
    parser.addOption(db);
    parser.addOption(noPager);
    command.addOptions(parser);
    if (!parser.parse(QStringList{QCoreApplication::arguments().first()} + positional.mid(1)))
        return usageError(command.usage(), parser.errorText());
    if (wantsHelp || parser.isSet(commandHelpOption) || parser.isSet(QStringLiteral("help-all")))
        return printHelp(commandHelp(parser, command));
    if (!parser.positionalArguments().isEmpty())
        return usageError(
            command.usage(),
            QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));
    const QString repeated = repeatedOption(parser);
    if (!repeated.isEmpty())
        return usageError(command.usage(),
                          QStringLiteral("--%1 given more than once").arg(repeated));
    QString problem;
    if (!command.readOptions(parser, &problem))
        return usageError(command.usage(), problem);
    const QString path = !parser.isSet(db) && top.isSet(db) ? top.value(db) : parser.value(db);
    noteSetAside(path);
    Pager pager;
    if (command.pages() && !parser.isSet(noPager) && !top.isSet(noPager))
        setBeforeFirstOutput([&pager] { pager.start(); });
    const int status = command.run(path);
    setBeforeFirstOutput(nullptr);
    if (!pager.finish())
        return kExitFailure;
    // The user quit the pager: nothing failed.
    return outputCutShort() ? kExitDone : status;
}

} // namespace

int runProgram(int argc, char *argv[], ForwardRunner runForward)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tallylog"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TALLYLOG_VERSION));

    // A file-size limit then fails the write (EFBIG), which is reported, instead of killing the
    // process part-way through an export or a listing.
    std::signal(SIGXFSZ, SIG_IGN);
    // Whether the output is a terminal is decided now, before a pager may take it over.
    outputIsTerminal();

    const CommandTable table = commandTable(runForward);
    const QString programUsage =
        QStringLiteral("tallylog [--db PATH] %1 [options] (tallylog --help)")
            .arg(commandNames(table));
    QCommandLineParser top;
    top.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    const QCommandLineOption help = top.addHelpOption();
    const QCommandLineOption version = top.addVersionOption();
    top.addOption(dbOption());
    top.addOption(noPagerOption());
    top.addPositionalArgument(QStringLiteral("command"), QStringLiteral("The command to run."));
    if (!top.parse(QCoreApplication::arguments()))
        return usageError(programUsage, top.errorText());
    if (top.isSet(version)) {
        printLine(stdout,
                  QStringLiteral("tallylog %1").arg(QCoreApplication::applicationVersion()));
        return kExitDone;
    }
    const QStringList positional = top.positionalArguments();
    const QString repeatedTop = repeatedOption(top);
    if (!repeatedTop.isEmpty())
        return usageError(programUsage,
                          QStringLiteral("--%1 given more than once").arg(repeatedTop));
    // --help-all, which Qt's help option adds, shows the same help: tallylog takes none of the
    // toolkit's own options.
    const bool wantsHelp = top.isSet(help) || top.isSet(QStringLiteral("help-all"));
    if (wantsHelp && positional.isEmpty())
        return printHelp(programHelp(top, table));
    if (positional.isEmpty())
        return usageError(programUsage, QStringLiteral("no command"));
    const auto found = std::find_if(table.begin(), table.end(), [&](const auto &command) {
        return command->name() == positional.first();
    });
    if (found == table.end())
        return usageError(programUsage,
                          QStringLiteral("unknown command '%1'").arg(positional.first()));
    return runCommand(**found, top, positional, wantsHelp);
}

} // namespace TallyLog
