// tallylog: reads the system log "dbLog.db" from a terminal or a script: lists, follows, counts,
// exports and prunes its records. All reading goes through SystemLog::LogReader; this file only
// parses the command line and writes the output.
//
// Exit status: 0 done, 1 the file or the output failed (one line on standard error), 2 wrong
// usage (one line on standard error).

#include "CursorFile.h"
#include "LogReader.h"
#include "MomentText.h"
#include "RecordFormat.h"
#include "StatsTable.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStringList>
#include <QThread>
#include <QTime>

#include <csignal>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include <unistd.h>

using SystemLog::LogReader;
using SystemLog::LogRecordView;
using SystemLog::LogSelection;
using TallyLog::Format;
using TallyLog::MomentText;
using TallyLog::RecordFormatter;
using TallyLog::StatsTable;
using TallyLog::TextStyle;

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Output is written in pieces of about this size (list, export); follow writes every record.
constexpr size_t kOutputChunk = 1 << 20;

constexpr int kFollowBacklog = 10;
constexpr int kFollowPollMs = 200;
// A follow with a cursor file saves it after every batch it prints and within a long batch after
// this many records: a follow killed outright prints at most these again when restarted.
constexpr int kCursorSaveEvery = 1000;

volatile std::sig_atomic_t g_stop = 0;

extern "C" void onStopSignal(int)
{
    g_stop = 1;
}

struct Command
{
    const char *name;
    const char *synopsis;
    const char *description;
};

const Command kCommands[] = {
    {"list",
     "[--day D | --from/--since F --to/--until T] [--after-id N] [--type T[,T...]] "
     "[--grep TEXT] [--limit N | -n N] [-r] [--format text|csv|json] [--color WHEN] "
     "[--escape | --raw]",
     "Lists the records of a day (default today) or of a range, both ends included, in the "
     "order in which they were stored (-r: newest first)."},
    {"follow",
     "[--type T[,T...]] [--grep TEXT] [-n N] [--cursor-file FILE] [--format text|csv|json] "
     "[--color WHEN] [--escape | --raw]",
     "Prints the last 10 (-n) matching records, or those after the cursor file's, then every "
     "new one as it is stored, until interrupted (Ctrl+C)."},
    {"stats",
     "[--day D | --from/--since F --to/--until T] [--by hour|day] [--format text|csv|json]",
     "Counts the records per category per hour or day, with a bar per row; hours or days "
     "without records count 0."},
    {"export", "[--day D] --type T --dir DIR [--format text|csv|json]",
     "Writes the records of one category and day (default today) to DIR/<D>系统日志.txt "
     "(.csv, .jsonl), as the window's export does."},
    {"prune", "--before yyyy-MM-dd [--yes]",
     "Deletes the records stamped before a day; without --yes only says how many."},
};

const Command *findCommand(const QString &name)
{
    for (const Command &c : kCommands) {
        if (name == QLatin1String(c.name))
            return &c;
    }
    return nullptr;
}

void printLine(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fputc('\n', stream);
}

// One line: what is wrong and how the command is used.
int usageError(const Command *command, const QString &problem)
{
    const QString usage =
        command ? QStringLiteral("tallylog [--db PATH] %1 %2")
                      .arg(QLatin1String(command->name), QString::fromUtf8(command->synopsis))
                : QStringLiteral("tallylog [--db PATH] list|follow|stats|export|prune "
                                 "[options] (tallylog --help)");
    printLine(stderr, QStringLiteral("tallylog: %1; usage: %2").arg(problem, usage));
    return kExitUsage;
}

int failure(const QString &path, const QString &reason)
{
    printLine(stderr, QStringLiteral("tallylog: %1: %2").arg(path, reason));
    return kExitFailure;
}

// Writes out the buffer; false (with a message) when the output cannot take it.
bool writeOut(std::string &buffer, bool flush = false)
{
    if (!buffer.empty() && std::fwrite(buffer.data(), 1, buffer.size(), stdout) != buffer.size()) {
        printLine(stderr, QStringLiteral("tallylog: cannot write the output"));
        return false;
    }
    buffer.clear();
    if (flush && std::fflush(stdout) != 0) {
        printLine(stderr, QStringLiteral("tallylog: cannot write the output"));
        return false;
    }
    return true;
}

bool isDay(const QString &text)
{
    static const QRegularExpression shape(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}$"));
    return shape.match(text).hasMatch() &&
           QDate::fromString(text, QStringLiteral("yyyy-MM-dd")).isValid();
}

bool isMoment(const QString &text)
{
    static const QRegularExpression shape(
        QStringLiteral("^(\\d{4}-\\d{2}-\\d{2}) (\\d{2}:\\d{2}:\\d{2})$"));
    const QRegularExpressionMatch m = shape.match(text);
    return m.hasMatch() && isDay(m.captured(1)) &&
           QTime::fromString(m.captured(2), QStringLiteral("hh:mm:ss")).isValid();
}

// The options of every command, each added to the parsers of the commands that take it.
struct Options
{
    QCommandLineOption db{QStringLiteral("db"),
                          QStringLiteral("The log file (default ./dbLog.db)."),
                          QStringLiteral("path"), QStringLiteral("dbLog.db")};
    QCommandLineOption day{QStringLiteral("day"),
                           QStringLiteral("The records of one day (default: today)."),
                           QStringLiteral("yyyy-MM-dd")};
    QCommandLineOption from{QStringLiteral("from"),
                            QStringLiteral("The records from this moment on (included)."),
                            QStringLiteral("yyyy-MM-dd hh:mm:ss")};
    QCommandLineOption to{QStringLiteral("to"),
                          QStringLiteral("The records up to this moment (included)."),
                          QStringLiteral("yyyy-MM-dd hh:mm:ss")};
    QCommandLineOption since{QStringLiteral("since"),
                             QStringLiteral("As --from, also relative: yyyy-MM-dd [hh:mm[:ss]], "
                                            "today, yesterday, now, -1h, -30min, -2d, +10min."),
                             QStringLiteral("time")};
    QCommandLineOption until{QStringLiteral("until"),
                             QStringLiteral("As --to, in the forms of --since."),
                             QStringLiteral("time")};
    QCommandLineOption afterId{QStringLiteral("after-id"),
                               QStringLiteral("Only the records with a larger id."),
                               QStringLiteral("N")};
    QCommandLineOption type{QStringLiteral("type"),
                            QStringLiteral("Categories, as numbers 0-4 or names (报警记录), "
                                           "comma-separated (default: every record)."),
                            QStringLiteral("T[,T...]")};
    QCommandLineOption exportType{QStringLiteral("type"),
                                  QStringLiteral("The category, as a number 0-4 or its name."),
                                  QStringLiteral("T")};
    QCommandLineOption grep{QStringLiteral("grep"),
                            QStringLiteral("Only records whose message contains this text, "
                                           "ignoring case; given again, each of the texts."),
                            QStringLiteral("text")};
    QCommandLineOption limit{QStringLiteral("limit"),
                             QStringLiteral("At most the first N records."), QStringLiteral("N")};
    QCommandLineOption lines{{QStringLiteral("n"), QStringLiteral("lines")},
                             QStringLiteral("The last N records, in stored order (0: none)."),
                             QStringLiteral("N")};
    QCommandLineOption backlog{{QStringLiteral("n"), QStringLiteral("lines")},
                               QStringLiteral("The last N records to show before following "
                                              "(default 10; 0: none)."),
                               QStringLiteral("N")};
    QCommandLineOption reverse{{QStringLiteral("r"), QStringLiteral("reverse")},
                               QStringLiteral("Newest first.")};
    QCommandLineOption cursorFile{QStringLiteral("cursor-file"),
                                  QStringLiteral("Start after the record whose id FILE holds (a "
                                                 "new FILE: the last N) and keep FILE at the last "
                                                 "record read, replaced atomically."),
                                  QStringLiteral("FILE")};
    QCommandLineOption color{QStringLiteral("color"),
                             QStringLiteral("Alarms in red, stamps dimmed: auto (on a terminal, "
                                            "unless NO_COLOR is set), always or never."),
                             QStringLiteral("when"), QStringLiteral("auto")};
    QCommandLineOption escape{QStringLiteral("escape"),
                              QStringLiteral("Show control characters escaped (\\e, \\r, "
                                             "\\x07), as on a terminal, also through a pipe.")};
    QCommandLineOption raw{QStringLiteral("raw"),
                           QStringLiteral("Print stamps and messages as stored, byte for byte, "
                                          "also on a terminal.")};
    QCommandLineOption format{QStringLiteral("format"),
                              QStringLiteral("text (as the window shows them), csv or json (JSON "
                                             "Lines); default text."),
                              QStringLiteral("format"), QStringLiteral("text")};
    QCommandLineOption by{QStringLiteral("by"), QStringLiteral("hour (default) or day."),
                          QStringLiteral("unit"), QStringLiteral("hour")};
    QCommandLineOption dir{QStringLiteral("dir"),
                           QStringLiteral("The directory to write the file into."),
                           QStringLiteral("dir")};
    QCommandLineOption before{QStringLiteral("before"),
                              QStringLiteral("Delete the records stamped before this day."),
                              QStringLiteral("yyyy-MM-dd")};
    QCommandLineOption yes{QStringLiteral("yes"),
                           QStringLiteral("Really delete (without it: only count).")};

    // The name an option is known by, for any of its names ("n" -> "lines").
    QString primaryName(const QString &given) const
    {
        for (const QCommandLineOption *o :
             {&db,     &day,  &from,   &to,    &since,   &until,      &afterId,
              &type,   &grep, &limit,  &lines, &reverse, &cursorFile, &color,
              &escape, &raw,  &format, &by,    &dir,     &before,     &yes}) {
            if (o->names().contains(given))
                return o->names().last();
        }
        return given;
    }
};

// Adds the options that `command` takes; returns their names.
QStringList addCommandOptions(QCommandLineParser &parser, const Options &o, const QString &command)
{
    QStringList names;
    const auto add = [&](const QCommandLineOption &option) {
        parser.addOption(option);
        names << option.names().last();
    };
    add(o.db);
    const bool lists = command == QLatin1String("list") || command == QLatin1String("follow");
    if (command == QLatin1String("list") || command == QLatin1String("stats")) {
        add(o.day);
        add(o.from);
        add(o.to);
        add(o.since);
        add(o.until);
    }
    if (lists) {
        add(o.type);
        add(o.grep);
    }
    if (command == QLatin1String("list")) {
        add(o.afterId);
        add(o.limit);
        add(o.lines);
        add(o.reverse);
    }
    if (command == QLatin1String("follow")) {
        add(o.backlog);
        add(o.cursorFile);
    }
    if (lists || command == QLatin1String("export") || command == QLatin1String("stats"))
        add(o.format);
    if (lists) {
        add(o.color);
        add(o.escape);
        add(o.raw);
    }
    if (command == QLatin1String("stats"))
        add(o.by);
    if (command == QLatin1String("export")) {
        add(o.day);
        add(o.exportType);
        add(o.dir);
    }
    if (command == QLatin1String("prune")) {
        add(o.before);
        add(o.yes);
    }
    return names;
}

// The parsed options of one run; `problem` is set when they do not fit together.
struct Request
{
    QDateTime now;
    QString path;
    QString from;
    QString to;
    QString day;
    QVector<int> types;
    QStringList grep;
    qint64 afterId = 0;
    qint64 limit = -1;
    qint64 lines = -1; // -n: the last N (follow: kFollowBacklog unless given)
    bool reverse = false;
    QString cursorFile;
    Format format = Format::Text;
    TextStyle style;
    LogReader::Bucket bucket = LogReader::Bucket::Hour;
    QString dir;
    bool yes = false;
    QString problem;
};

bool parseTypes(const QString &text, QVector<int> *types, QString *problem)
{
    const QStringList parts = text.split(QLatin1Char(','));
    for (const QString &part : parts) {
        const int type = SystemLog::categoryFromText(part);
        if (type < 0) {
            *problem = QStringLiteral("unknown category '%1' (0-4 or its name)").arg(part);
            return false;
        }
        if (!types->contains(type))
            types->append(type);
    }
    return true;
}

// The parser's view of the options one command takes: an option the command does not take
// counts as not given (asking Qt about it would print a warning).
class CommandLine
{
public:
    CommandLine(const QCommandLineParser &parser, const QStringList &taken)
        : m_parser(parser), m_taken(taken)
    {
    }
    bool isSet(const QCommandLineOption &o) const { return takes(o) && m_parser.isSet(o); }
    QString value(const QCommandLineOption &o) const
    {
        return takes(o) ? m_parser.value(o) : QString();
    }
    QStringList values(const QCommandLineOption &o) const
    {
        return takes(o) ? m_parser.values(o) : QStringList();
    }

private:
    bool takes(const QCommandLineOption &o) const { return m_taken.contains(o.names().last()); }

    const QCommandLineParser &m_parser;
    QStringList m_taken;
};

QString today(const Request &r)
{
    return r.now.date().toString(QStringLiteral("yyyy-MM-dd"));
}

// One end of the range: --from/--to as a full stamp, or --since/--until in any form of
// MomentText; the two spellings of one end exclude each other.
bool parseRangeEnd(const CommandLine &p, const QCommandLineOption &exact,
                   const QCommandLineOption &relative, const Request &r, QString *moment,
                   QString *problem)
{
    if (p.isSet(exact) && p.isSet(relative)) {
        *problem = QStringLiteral("--%1 and --%2 exclude each other")
                       .arg(exact.names().last(), relative.names().last());
        return false;
    }
    if (p.isSet(exact)) {
        *moment = p.value(exact);
        if (!isMoment(*moment)) {
            *problem = QStringLiteral("bad moment '%1' (yyyy-MM-dd hh:mm:ss)").arg(*moment);
            return false;
        }
    } else if (p.isSet(relative)) {
        *moment = MomentText(r.now).parse(p.value(relative));
        if (moment->isEmpty()) {
            *problem =
                QStringLiteral("bad time '%1' (%2)").arg(p.value(relative), MomentText::accepted());
            return false;
        }
    }
    return true;
}

bool parseRange(const CommandLine &p, const Options &o, Request *r)
{
    const bool hasDay = p.isSet(o.day);
    const bool hasRange = p.isSet(o.from) || p.isSet(o.to) || p.isSet(o.since) || p.isSet(o.until);
    if (hasDay && hasRange) {
        r->problem = QStringLiteral("--day and a range (--from/--since, --to/--until) exclude "
                                    "each other");
        return false;
    }
    if (!hasDay && !hasRange)
        r->day = today(*r);
    if (hasDay) {
        r->day = p.value(o.day);
        if (!isDay(r->day)) {
            r->problem = QStringLiteral("bad day '%1' (yyyy-MM-dd)").arg(r->day);
            return false;
        }
    }
    if (!r->day.isEmpty()) {
        r->from = r->day + QStringLiteral(" 00:00:00");
        r->to = r->day + QStringLiteral(" 23:59:59");
        return true;
    }
    if (!parseRangeEnd(p, o.from, o.since, *r, &r->from, &r->problem) ||
        !parseRangeEnd(p, o.to, o.until, *r, &r->to, &r->problem))
        return false;
    if (!r->from.isEmpty() && !r->to.isEmpty() && r->from > r->to) {
        r->problem = QStringLiteral("the start of the range is after its end");
        return false;
    }
    return true;
}

bool parseCount(const CommandLine &p, const QCommandLineOption &option, qint64 *count,
                QString *problem)
{
    if (!p.isSet(option))
        return true;
    bool ok = false;
    *count = p.value(option).toLongLong(&ok);
    if (!ok || *count < 0) {
        *problem = QStringLiteral("--%1 needs a number >= 0").arg(option.names().last());
        return false;
    }
    return true;
}

bool isTerminal(std::FILE *stream)
{
    return ::isatty(::fileno(stream)) == 1;
}

// How the text format writes: on a terminal control characters escaped and alarms coloured,
// through a pipe as stored unless asked otherwise.
bool parseTextStyle(const CommandLine &p, const Options &o, Request *r)
{
    if (p.isSet(o.escape) && p.isSet(o.raw)) {
        r->problem = QStringLiteral("--escape and --raw exclude each other");
        return false;
    }
    if (r->format != Format::Text && (p.isSet(o.escape) || p.isSet(o.raw))) {
        r->problem = QStringLiteral("--escape and --raw apply to --format text (csv and json "
                                    "escape by their own rules)");
        return false;
    }
    const bool terminal = isTerminal(stdout);
    const QString when = p.isSet(o.color) ? p.value(o.color) : QStringLiteral("auto");
    if (when == QLatin1String("always")) {
        r->style.colour = true;
    } else if (when == QLatin1String("auto")) {
        // NO_COLOR (no-color.org): set and not empty, no colour unless asked for by option.
        r->style.colour =
            terminal && qEnvironmentVariableIsEmpty("NO_COLOR") && qgetenv("TERM") != "dumb";
    } else if (when != QLatin1String("never")) {
        r->problem = QStringLiteral("--color takes auto, always or never");
        return false;
    }
    if (r->format != Format::Text)
        r->style.colour = false;
    if (p.isSet(o.raw))
        r->style.bytes = TextStyle::Bytes::Raw;
    else if (p.isSet(o.escape) || terminal)
        r->style.bytes = TextStyle::Bytes::Escaped;
    return true;
}

bool parseRequest(const CommandLine &p, const Options &o, const QString &command, Request *r)
{
    r->path = p.value(o.db);
    if (command == QLatin1String("list") || command == QLatin1String("stats")) {
        if (!parseRange(p, o, r))
            return false;
    }
    // Repeated --type: any of the categories; repeated --grep: every text.
    for (const QString &types : p.values(o.type)) {
        if (!parseTypes(types, &r->types, &r->problem))
            return false;
    }
    r->grep = p.values(o.grep);
    if (!parseCount(p, o.limit, &r->limit, &r->problem) ||
        !parseCount(p, o.lines, &r->lines, &r->problem) ||
        !parseCount(p, o.afterId, &r->afterId, &r->problem))
        return false;
    if (p.isSet(o.limit) && p.isSet(o.lines)) {
        r->problem = QStringLiteral("--limit (the first N) and -n (the last N) exclude each other");
        return false;
    }
    r->reverse = p.isSet(o.reverse);
    r->cursorFile = p.value(o.cursorFile);
    if (p.isSet(o.cursorFile) && r->cursorFile.isEmpty()) {
        r->problem = QStringLiteral("--cursor-file needs a file name");
        return false;
    }
    if (p.isSet(o.format) && !TallyLog::parseFormat(p.value(o.format), &r->format)) {
        r->problem =
            QStringLiteral("unknown format '%1' (text, csv or json)").arg(p.value(o.format));
        return false;
    }
    if ((command == QLatin1String("list") || command == QLatin1String("follow")) &&
        !parseTextStyle(p, o, r))
        return false;
    if (command == QLatin1String("stats")) {
        const QString by = p.value(o.by);
        if (by == QLatin1String("day")) {
            r->bucket = LogReader::Bucket::Day;
        } else if (by != QLatin1String("hour")) {
            r->problem = QStringLiteral("--by takes hour or day");
            return false;
        }
    }
    if (command == QLatin1String("export")) {
        if (!p.isSet(o.exportType) || !p.isSet(o.dir)) {
            r->problem = QStringLiteral("export needs --type and --dir");
            return false;
        }
        r->day = p.isSet(o.day) ? p.value(o.day) : today(*r);
        if (!isDay(r->day)) {
            r->problem = QStringLiteral("bad day '%1' (yyyy-MM-dd)").arg(r->day);
            return false;
        }
        if (r->types.size() != 1) {
            r->problem = QStringLiteral("export takes exactly one category");
            return false;
        }
        r->from = r->day + QStringLiteral(" 00:00:00");
        r->to = r->day + QStringLiteral(" 23:59:59");
        r->dir = p.value(o.dir);
    }
    if (command == QLatin1String("prune")) {
        r->day = p.value(o.before);
        if (!isDay(r->day)) {
            r->problem = p.isSet(o.before) ? QStringLiteral("bad day '%1' (yyyy-MM-dd)").arg(r->day)
                                           : QStringLiteral("prune needs --before");
            return false;
        }
        r->yes = p.isSet(o.yes);
    }
    return true;
}

// Every option once, but --type and --grep, which combine; "" when none is repeated.
QString repeatedOption(const QCommandLineParser &parser, const Options &o)
{
    QStringList seen;
    for (const QString &given : parser.optionNames()) {
        const QString name = o.primaryName(given);
        if (name == QLatin1String("type") || name == QLatin1String("grep"))
            continue;
        if (seen.contains(name))
            return name;
        seen << name;
    }
    return QString();
}

int openLog(LogReader &reader, const QString &path, LogReader::Access access)
{
    if (!reader.open(path, access))
        return failure(path, reader.errorString());
    return 0;
}

int runList(const Request &r)
{
    LogReader reader;
    if (int status = openLog(reader, r.path, LogReader::Access::ReadOnly))
        return status;
    LogSelection selection;
    selection.from = r.from;
    selection.to = r.to;
    selection.types = r.types;
    selection.grep = r.grep;
    selection.afterId = r.afterId;
    selection.limit = r.lines >= 0 ? r.lines : r.limit;
    // The last N are read newest first; without --reverse they are written oldest first.
    selection.newestFirst = r.reverse || r.lines >= 0;
    const bool collect = r.lines >= 0 && !r.reverse;
    RecordFormatter formatter(r.format, r.types.size() != 1, r.style);
    std::string buffer;
    buffer.reserve(kOutputChunk + (64 << 10));
    formatter.appendStart(buffer);
    // The last N, newest first, formatted one after another; written out in reverse.
    std::string collected;
    std::vector<size_t> starts;
    bool writeFailed = false;
    const bool ok = reader.select(selection, [&](const LogRecordView &record) {
        if (collect) {
            starts.push_back(collected.size());
            formatter.appendRecord(collected, record);
            return true;
        }
        formatter.appendRecord(buffer, record);
        if (buffer.size() >= kOutputChunk && !writeOut(buffer)) {
            writeFailed = true;
            return false;
        }
        return true;
    });
    if (writeFailed)
        return kExitFailure;
    size_t end = collected.size();
    for (size_t i = starts.size(); ok && i-- > 0;) {
        buffer.append(collected, starts[i], end - starts[i]);
        end = starts[i];
        if (buffer.size() >= kOutputChunk && !writeOut(buffer))
            return kExitFailure;
    }
    if (!ok) {
        writeOut(buffer, true);
        return failure(r.path, reader.errorString());
    }
    return writeOut(buffer, true) ? 0 : kExitFailure;
}

int runFollow(const Request &r)
{
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    // Where an earlier follow with this cursor file stopped; a new file starts with the last N.
    CursorFile cursor(r.cursorFile);
    qint64 cursorId = 0;
    bool resume = false;
    QString cursorError;
    if (!r.cursorFile.isEmpty() && !cursor.load(&cursorId, &resume, &cursorError))
        return failure(r.cursorFile, cursorError);

    // A file that stays busy (or locked) is waited for: said once on standard error, then tried
    // again on every poll. Any other failure ends the command.
    bool reported = false;
    const auto busy = [&](const LogReader &reader) {
        if (!reader.lastErrorIsTransient())
            return false;
        if (!reported)
            printLine(stderr, QStringLiteral("tallylog: %1: %2 (still trying)")
                                  .arg(r.path, reader.errorString()));
        reported = true;
        return true;
    };
    const auto pause = [] {
        for (int waited = 0; waited < kFollowPollMs && !g_stop; waited += 20)
            QThread::msleep(20);
    };

    LogReader reader;
    while (!reader.open(r.path, LogReader::Access::ReadOnly)) {
        if (!busy(reader))
            return failure(r.path, reader.errorString());
        pause();
        if (g_stop)
            return 0;
    }
    LogSelection selection;
    selection.types = r.types;
    selection.grep = r.grep;
    RecordFormatter formatter(r.format, r.types.size() != 1, r.style);
    std::string buffer;
    formatter.appendStart(buffer);
    bool writeFailed = false;
    bool saveFailed = false;
    qint64 lastId = 0; // the last record read (printed, or passed over by the selection)
    qint64 savedId = -1;
    int unsaved = 0;
    const auto save = [&] {
        if (r.cursorFile.isEmpty() || lastId == savedId)
            return true;
        if (!cursor.save(lastId, &cursorError)) {
            saveFailed = true;
            return false;
        }
        savedId = lastId;
        unsaved = 0;
        return true;
    };
    // Each record is flushed before the cursor may name it, so that the file never runs ahead of
    // the output; a stop request ends the batch after the record being printed.
    const auto print = [&](const LogRecordView &record) {
        formatter.appendRecord(buffer, record);
        if (!writeOut(buffer, true)) {
            writeFailed = true;
            return false;
        }
        lastId = record.id;
        if (++unsaved >= kCursorSaveEvery && !save())
            return false;
        return !g_stop;
    };
    const auto finish = [&](int status) {
        if (!save())
            return failure(r.cursorFile, cursorError);
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
                                  .arg(r.cursorFile)
                                  .arg(cursorId)
                                  .arg(top)
                                  .arg(r.path));
            resume = false;
        }
        if (ok && resume) {
            selection.afterId = cursorId;
            lastId = cursorId;
            ok = reader.select(selection, print);
        } else if (ok) {
            ok = reader.selectLast(
                selection,
                static_cast<int>(qMin<qint64>(r.lines >= 0 ? r.lines : kFollowBacklog,
                                              std::numeric_limits<int>::max())),
                top, print);
        }
        if (writeFailed || saveFailed)
            return finish(kExitFailure);
        if (ok)
            break;
        if (!busy(reader))
            return failure(r.path, reader.errorString());
        pause();
        if (g_stop)
            return finish(0);
    }
    // The backlog ends at `top` even where its last records were not selected; after a stop
    // request it ends at the last record printed.
    if (!g_stop)
        lastId = qMax(lastId, top);
    if (!writeOut(buffer, true) || !save())
        return finish(kExitFailure);

    while (!g_stop) {
        pause();
        if (g_stop)
            break;
        if (!QFileInfo::exists(r.path))
            return failure(r.path, QStringLiteral("no such file (removed)"));
        qint64 now = 0;
        bool ok = reader.dataVersion(&now);
        if (ok && now == version)
            continue;
        selection.afterId = lastId;
        ok = ok && reader.select(selection, print);
        if (writeFailed || saveFailed)
            return finish(kExitFailure);
        if (!ok) {
            if (!busy(reader))
                return failure(r.path, reader.errorString());
            continue;
        }
        if (!save())
            return finish(kExitFailure);
        reported = false;
        version = now;
    }
    return finish(0);
}

// The buckets to show even without records: the range, but not before the log's first record
// (nothing could have been stored then) nor after the current hour or day (nothing has been
// yet), unless records say otherwise.
bool fillSpan(LogReader &reader, const Request &r, const QVector<SystemLog::LogCount> &counts,
              QString *first, QString *last)
{
    const StatsTable::Unit unit =
        r.bucket == LogReader::Bucket::Hour ? StatsTable::Unit::Hour : StatsTable::Unit::Day;
    if (counts.isEmpty() && (r.from.isEmpty() || r.to.isEmpty()))
        return true;
    LogSelection oldest;
    oldest.limit = 1;
    QString start;
    if (!reader.select(oldest, [&](const LogRecordView &record) {
            start =
                QString::fromUtf8(record.datetime.data(), static_cast<int>(record.datetime.size()));
            return false;
        }))
        return false;
    if (start.isEmpty() || !isMoment(start))
        start = r.from;
    if (!r.from.isEmpty())
        start = qMax(start, r.from);
    QString end = r.now.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    if (!r.to.isEmpty())
        end = qMin(end, r.to);
    *first = StatsTable::bucketOf(unit, start);
    *last = StatsTable::bucketOf(unit, end);
    if (!counts.isEmpty()) {
        if (r.from.isEmpty())
            *first = counts.first().bucket;
        *last = qMax(*last, counts.last().bucket);
    }
    return true;
}

int runStats(const Request &r)
{
    LogReader reader;
    if (int status = openLog(reader, r.path, LogReader::Access::ReadOnly))
        return status;
    QVector<SystemLog::LogCount> counts;
    QString first;
    QString last;
    if (!reader.count(r.from, r.to, r.bucket, &counts) ||
        !fillSpan(reader, r, counts, &first, &last))
        return failure(r.path, reader.errorString());
    const StatsTable table(r.bucket == LogReader::Bucket::Hour ? StatsTable::Unit::Hour
                                                               : StatsTable::Unit::Day,
                           counts, first, last);
    std::string out;
    if (r.format == Format::Csv) {
        out = table.csv();
    } else if (r.format == Format::Json) {
        out = table.json();
    } else {
        const QString range =
            r.from.isEmpty() && r.to.isEmpty()
                ? QStringLiteral("in all")
                : QStringLiteral("from %1 to %2")
                      .arg(r.from.isEmpty() ? QStringLiteral("the first") : r.from,
                           r.to.isEmpty() ? QStringLiteral("the last") : r.to);
        out = table.text(range);
    }
    return writeOut(out, true) ? 0 : kExitFailure;
}

int runExport(const Request &r)
{
    const QFileInfo dir(r.dir);
    if (!dir.isDir())
        return failure(r.dir, QStringLiteral("no such directory"));
    LogReader reader;
    if (int status = openLog(reader, r.path, LogReader::Access::ReadOnly))
        return status;
    const char *suffix = r.format == Format::Csv    ? ".csv"
                         : r.format == Format::Json ? ".jsonl"
                                                    : ".txt";
    const QString target =
        QDir(r.dir).filePath(r.day + QString::fromUtf8("系统日志") + QLatin1String(suffix));

    // Written beside the target and put in its place only once complete, as the window does:
    // a failed export leaves an earlier file of the same name as it was.
    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly))
        return failure(target, file.errorString());
    LogSelection selection;
    selection.from = r.from;
    selection.to = r.to;
    selection.types = r.types;
    RecordFormatter formatter(r.format, false);
    std::string buffer;
    formatter.appendStart(buffer);
    qint64 records = 0;
    bool writeFailed = false;
    const auto flush = [&] {
        if (file.write(buffer.data(), static_cast<qint64>(buffer.size())) !=
            static_cast<qint64>(buffer.size()))
            writeFailed = true;
        buffer.clear();
        return !writeFailed;
    };
    const bool ok = reader.select(selection, [&](const LogRecordView &record) {
        formatter.appendRecord(buffer, record);
        ++records;
        return buffer.size() < kOutputChunk || flush();
    });
    if (!ok) {
        file.cancelWriting();
        return failure(r.path, reader.errorString());
    }
    if (records == 0) {
        file.cancelWriting();
        printLine(stderr, QStringLiteral("tallylog: %1: no records of %2 on %3; nothing exported")
                              .arg(r.path, SystemLog::categoryName(r.types.first()), r.day));
        return kExitFailure;
    }
    if (!flush() || !file.commit()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        return failure(target, reason);
    }
    printLine(stdout, QStringLiteral("%1 records written to %2").arg(records).arg(target));
    return 0;
}

int runPrune(const Request &r)
{
    LogReader reader;
    const QString before = r.day + QStringLiteral(" 00:00:00");
    if (!r.yes) {
        if (int status = openLog(reader, r.path, LogReader::Access::ReadOnly))
            return status;
        qint64 count = 0;
        if (!reader.countBefore(before, &count))
            return failure(r.path, reader.errorString());
        printLine(stdout, QStringLiteral("%1 records stamped before %2 would be deleted "
                                         "(run again with --yes to delete them)")
                              .arg(count)
                              .arg(r.day));
        return 0;
    }
    if (int status = openLog(reader, r.path, LogReader::Access::ReadWrite))
        return status;
    qint64 deleted = 0;
    const bool ok = reader.deleteBefore(before, &deleted);
    printLine(stdout,
              QStringLiteral("%1 records stamped before %2 deleted").arg(deleted).arg(r.day));
    if (!ok)
        return failure(r.path, reader.errorString());
    return 0;
}

QString commandHelp(const QCommandLineParser &parser, const Command &command)
{
    // Qt's first line names no command; it is replaced by the command's own.
    QString text = parser.helpText();
    text = text.mid(text.indexOf(QLatin1Char('\n')) + 1);
    return QStringLiteral("Usage: tallylog [--db PATH] %1 %2\n")
               .arg(QLatin1String(command.name), QString::fromUtf8(command.synopsis)) +
           text;
}

QString programHelp(const QCommandLineParser &parser)
{
    QString text = QStringLiteral("Usage: tallylog [--db PATH] COMMAND [options]\n\n"
                                  "Reads the system log dbLog.db: lists, follows, counts, "
                                  "exports and prunes its records.\n\nCommands:\n");
    for (const Command &c : kCommands)
        text += QStringLiteral("  %1%2\n")
                    .arg(QString(QLatin1String(c.name)).leftJustified(8),
                         QString::fromUtf8(c.description));
    text += QStringLiteral(
        "\n'tallylog COMMAND --help' shows a command's options.\n"
        "Exit status: 0 done, 1 the file or the output failed, 2 wrong usage.\n\n"
        "On a terminal the text format shows control characters in messages escaped (\\e, "
        "\\r, \\x07) and invalid UTF-8 as U+FFFD, alarms in red and stamps dimmed; through a "
        "pipe it writes the messages as stored, uncoloured (--escape, --raw, --color change "
        "this).\n\nEnvironment:\n"
        "  NO_COLOR      set and not empty: no colour unless --color=always\n"
        "  TALLYLOG_NOW  the current time as yyyy-MM-dd hh:mm:ss, in place of the clock (for "
        "tests: today, --since -1h, stats)\n");
    QString options = parser.helpText();
    return text + options.mid(options.indexOf(QLatin1String("\nOptions:")));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tallylog"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TALLYLOG_VERSION));

    const Options options;
    QCommandLineParser top;
    top.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    const QCommandLineOption help = top.addHelpOption();
    const QCommandLineOption version = top.addVersionOption();
    top.addOption(options.db);
    top.addPositionalArgument(QStringLiteral("command"), QStringLiteral("The command to run."));
    if (!top.parse(QCoreApplication::arguments()))
        return usageError(nullptr, top.errorText());
    if (top.isSet(version)) {
        printLine(stdout,
                  QStringLiteral("tallylog %1").arg(QCoreApplication::applicationVersion()));
        return 0;
    }
    const QStringList positional = top.positionalArguments();
    const QString repeatedTop = repeatedOption(top, options);
    if (!repeatedTop.isEmpty())
        return usageError(nullptr, QStringLiteral("--%1 given more than once").arg(repeatedTop));
    const bool wantsHelp = top.isSet(help) || top.isSet(QStringLiteral("help-all"));
    if (wantsHelp && positional.isEmpty()) {
        std::string text = programHelp(top).toStdString();
        return writeOut(text, true) ? 0 : kExitFailure;
    }
    if (positional.isEmpty())
        return usageError(nullptr, QStringLiteral("no command"));
    const Command *command = findCommand(positional.first());
    if (!command)
        return usageError(nullptr, QStringLiteral("unknown command '%1'").arg(positional.first()));

    const QString name = QLatin1String(command->name);
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(command->description));
    const QCommandLineOption commandHelpOption = parser.addHelpOption();
    const QStringList taken = addCommandOptions(parser, options, name);
    if (!parser.parse(QStringList{QCoreApplication::arguments().first()} + positional.mid(1)))
        return usageError(command, parser.errorText());
    if (parser.isSet(commandHelpOption) || parser.isSet(QStringLiteral("help-all")) || wantsHelp) {
        std::string text = commandHelp(parser, *command).toStdString();
        return writeOut(text, true) ? 0 : kExitFailure;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(
            command,
            QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));

    const QString repeated = repeatedOption(parser, options);
    if (!repeated.isEmpty())
        return usageError(command, QStringLiteral("--%1 given more than once").arg(repeated));

    Request request;
    if (!MomentText::now(&request.now, &request.problem) ||
        !parseRequest(CommandLine(parser, taken), options, name, &request))
        return usageError(command, request.problem);
    // --db given before the command counts unless it is given again after it.
    if (!parser.isSet(options.db) && top.isSet(options.db))
        request.path = top.value(options.db);

    if (name == QLatin1String("list"))
        return runList(request);
    if (name == QLatin1String("follow"))
        return runFollow(request);
    if (name == QLatin1String("stats"))
        return runStats(request);
    if (name == QLatin1String("export"))
        return runExport(request);
    return runPrune(request);
}
