// tallylog: reads the system log "dbLog.db" from a terminal or a script: lists, follows, counts,
// exports and prunes its records, and forwards them to a central log. All reading goes through
// SystemLog::LogReader; this file only parses the command line and writes the output.
//
// Exit status: 0 done, 1 the file or the output failed (one line on standard error), 2 wrong
// usage (one line on standard error).

#include "CursorFile.h"
#include "ForwardEncoding.h"
#include "ForwardSender.h"
#include "Forwarder.h"
#include "LogReader.h"
#include "RecordFormat.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStringList>
#include <QSysInfo>
#include <QThread>
#include <QTime>

#include <csignal>
#include <cstdio>
#include <limits>
#include <string>

using SystemLog::LogReader;
using SystemLog::LogRecordView;
using SystemLog::LogSelection;
using TallyLog::Format;
using TallyLog::RecordFormatter;

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Output is written in pieces of about this size (list, export); follow writes every record.
constexpr size_t kOutputChunk = 1 << 20;

constexpr int kFollowBacklog = 10;
constexpr int kFollowPollMs = 200;

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
     "[--day D | --from F --to T] [--type T[,T...]] [--grep TEXT] [--limit N] "
     "[--format text|csv|json]",
     "Lists the records of a day (default today) or of a range, both ends included, in the "
     "order in which they were stored."},
    {"follow", "[--type T[,T...]] [--grep TEXT] [--format text|csv|json]",
     "Prints the last 10 matching records, then every new one as it is stored, until "
     "interrupted (Ctrl+C)."},
    {"stats", "[--day D | --from F --to T] [--by hour|day]",
     "Counts the records per category per hour or day, with a bar per row."},
    {"export", "--day D --type T --dir DIR [--format text|csv|json]",
     "Writes the records of one category and day to DIR/<D>系统日志.txt (.csv, .jsonl), "
     "as the window's export does."},
    {"prune", "--before yyyy-MM-dd [--keep-undelivered FILE] [--yes]",
     "Deletes the records stamped before a day; without --yes only says how many."},
    {"forward",
     "--to URL [--cursor-file FILE] [--type T[,T...]] [--grep TEXT] "
     "[--from \"yyyy-MM-dd hh:mm:ss\"] [--identifier NAME] [--hostname NAME] [--once]",
     "Delivers the records, oldest first, to systemd-journal-remote (--to http://HOST[:PORT]) "
     "or a syslog server (--to syslog+tcp://HOST[:PORT]), remembering in the cursor file how "
     "far; runs until interrupted."},
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
                : QStringLiteral("tallylog [--db PATH] list|follow|stats|export|prune|forward "
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
    QCommandLineOption type{QStringLiteral("type"),
                            QStringLiteral("Categories, as numbers 0-4 or names (报警记录), "
                                           "comma-separated (default: every record)."),
                            QStringLiteral("T[,T...]")};
    QCommandLineOption exportType{QStringLiteral("type"),
                                  QStringLiteral("The category, as a number 0-4 or its name."),
                                  QStringLiteral("T")};
    QCommandLineOption grep{QStringLiteral("grep"),
                            QStringLiteral("Only records whose message contains this text, "
                                           "ignoring case."),
                            QStringLiteral("text")};
    QCommandLineOption limit{QStringLiteral("limit"),
                             QStringLiteral("At most the first N records."), QStringLiteral("N")};
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
    QCommandLineOption keepUndelivered{
        QStringLiteral("keep-undelivered"),
        QStringLiteral("Keep every record that the forwarder with this cursor file has not "
                       "delivered yet."),
        QStringLiteral("file")};
    QCommandLineOption receiver{QStringLiteral("to"),
                                QStringLiteral("The receiver: http://HOST[:PORT] or https://... "
                                               "(systemd-journal-remote, port 19532), or "
                                               "syslog+tcp://HOST[:PORT] (port 514)."),
                                QStringLiteral("url")};
    QCommandLineOption cursorFile{
        QStringLiteral("cursor-file"),
        QStringLiteral("Remembers the id of the last delivered record (default: none, start at "
                       "the end)."),
        QStringLiteral("file")};
    QCommandLineOption identifier{QStringLiteral("identifier"),
                                  QStringLiteral("SYSLOG_IDENTIFIER / APP-NAME (default "
                                                 "tallyview)."),
                                  QStringLiteral("name"), QStringLiteral("tallyview")};
    QCommandLineOption hostname{QStringLiteral("hostname"),
                                QStringLiteral("The host name sent (default: this machine's)."),
                                QStringLiteral("name")};
    QCommandLineOption once{QStringLiteral("once"),
                            QStringLiteral("Deliver what is there, then exit.")};
};

// Adds the options that `command` takes; returns their names.
QStringList addCommandOptions(QCommandLineParser &parser, const Options &o, const QString &command)
{
    QStringList names;
    const auto add = [&](const QCommandLineOption &option) {
        parser.addOption(option);
        names << option.names().first();
    };
    add(o.db);
    if (command == QLatin1String("list") || command == QLatin1String("stats")) {
        add(o.day);
        add(o.from);
        add(o.to);
    }
    if (command == QLatin1String("list") || command == QLatin1String("follow") ||
        command == QLatin1String("forward")) {
        add(o.type);
        add(o.grep);
    }
    if (command == QLatin1String("list"))
        add(o.limit);
    if (command == QLatin1String("list") || command == QLatin1String("follow") ||
        command == QLatin1String("export"))
        add(o.format);
    if (command == QLatin1String("stats"))
        add(o.by);
    if (command == QLatin1String("export")) {
        add(o.day);
        add(o.exportType);
        add(o.dir);
    }
    if (command == QLatin1String("prune")) {
        add(o.before);
        add(o.keepUndelivered);
        add(o.yes);
    }
    if (command == QLatin1String("forward")) {
        add(o.receiver);
        add(o.cursorFile);
        add(o.from);
        add(o.identifier);
        add(o.hostname);
        add(o.once);
    }
    return names;
}

// The parsed options of one run; `problem` is set when they do not fit together.
struct Request
{
    QString path;
    QString from;
    QString to;
    QString day;
    QVector<int> types;
    QString grep;
    qint64 limit = -1;
    Format format = Format::Text;
    LogReader::Bucket bucket = LogReader::Bucket::Hour;
    QString dir;
    bool yes = false;
    QString keepUndelivered;
    QString receiver;
    QString cursorFile;
    TallyLog::ForwardIdentity identity;
    bool once = false;
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

private:
    bool takes(const QCommandLineOption &o) const { return m_taken.contains(o.names().first()); }

    const QCommandLineParser &m_parser;
    QStringList m_taken;
};

bool parseRange(const CommandLine &p, const Options &o, Request *r)
{
    const bool hasDay = p.isSet(o.day);
    if (hasDay && (p.isSet(o.from) || p.isSet(o.to))) {
        r->problem = QStringLiteral("--day and --from/--to exclude each other");
        return false;
    }
    if (!hasDay && !p.isSet(o.from) && !p.isSet(o.to))
        r->day = QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"));
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
    r->from = p.value(o.from);
    r->to = p.value(o.to);
    for (const QString &moment : {r->from, r->to}) {
        if (!moment.isEmpty() && !isMoment(moment)) {
            r->problem = QStringLiteral("bad moment '%1' (yyyy-MM-dd hh:mm:ss)").arg(moment);
            return false;
        }
    }
    if (!r->from.isEmpty() && !r->to.isEmpty() && r->from > r->to) {
        r->problem = QStringLiteral("--from is after --to");
        return false;
    }
    return true;
}

bool parseRequest(const CommandLine &p, const Options &o, const QString &command, Request *r)
{
    r->path = p.value(o.db);
    if (command == QLatin1String("list") || command == QLatin1String("stats")) {
        if (!parseRange(p, o, r))
            return false;
    }
    if (p.isSet(o.type) && !parseTypes(p.value(o.type), &r->types, &r->problem))
        return false;
    r->grep = p.value(o.grep);
    if (p.isSet(o.limit)) {
        bool ok = false;
        r->limit = p.value(o.limit).toLongLong(&ok);
        if (!ok || r->limit < 0) {
            r->problem = QStringLiteral("--limit needs a number >= 0");
            return false;
        }
    }
    if (p.isSet(o.format) && !TallyLog::parseFormat(p.value(o.format), &r->format)) {
        r->problem =
            QStringLiteral("unknown format '%1' (text, csv or json)").arg(p.value(o.format));
        return false;
    }
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
        if (!p.isSet(o.day) || !p.isSet(o.exportType) || !p.isSet(o.dir)) {
            r->problem = QStringLiteral("export needs --day, --type and --dir");
            return false;
        }
        r->day = p.value(o.day);
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
        r->keepUndelivered = p.value(o.keepUndelivered);
        if (p.isSet(o.keepUndelivered) && r->keepUndelivered.isEmpty()) {
            r->problem = QStringLiteral("--keep-undelivered needs a cursor file");
            return false;
        }
    }
    if (command == QLatin1String("forward")) {
        r->receiver = p.value(o.receiver);
        if (r->receiver.isEmpty()) {
            r->problem = QStringLiteral("forward needs --to");
            return false;
        }
        r->from = p.value(o.from);
        if (!r->from.isEmpty() && !isMoment(r->from)) {
            r->problem = QStringLiteral("bad moment '%1' (yyyy-MM-dd hh:mm:ss)").arg(r->from);
            return false;
        }
        r->cursorFile = p.value(o.cursorFile);
        if (p.isSet(o.cursorFile) && r->cursorFile.isEmpty()) {
            r->problem = QStringLiteral("--cursor-file needs a file");
            return false;
        }
        r->identity.identifier = p.value(o.identifier).toUtf8();
        r->identity.hostname = p.isSet(o.hostname) ? p.value(o.hostname).toUtf8()
                                                   : QSysInfo::machineHostName().toUtf8();
        if (r->identity.identifier.isEmpty() || r->identity.hostname.isEmpty()) {
            r->problem = QStringLiteral("--identifier and --hostname need a name");
            return false;
        }
        r->once = p.isSet(o.once);
    }
    return true;
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
    selection.limit = r.limit;
    RecordFormatter formatter(r.format, r.types.size() != 1);
    std::string buffer;
    buffer.reserve(kOutputChunk + (64 << 10));
    formatter.appendStart(buffer);
    bool writeFailed = false;
    const bool ok = reader.select(selection, [&](const LogRecordView &record) {
        formatter.appendRecord(buffer, record);
        if (buffer.size() >= kOutputChunk && !writeOut(buffer)) {
            writeFailed = true;
            return false;
        }
        return true;
    });
    if (writeFailed)
        return kExitFailure;
    if (!ok) {
        writeOut(buffer, true);
        return failure(r.path, reader.errorString());
    }
    return writeOut(buffer, true) ? 0 : kExitFailure;
}

void stopOnSignals()
{
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int runFollow(const Request &r)
{
    stopOnSignals();

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
    RecordFormatter formatter(r.format, r.types.size() != 1);
    std::string buffer;
    formatter.appendStart(buffer);
    bool writeFailed = false;
    qint64 lastId = 0;
    const auto print = [&](const LogRecordView &record) {
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
        if (!busy(reader))
            return failure(r.path, reader.errorString());
        pause();
        if (g_stop)
            return 0;
    }
    if (writeFailed || !writeOut(buffer, true))
        return kExitFailure;
    lastId = qMax(lastId, top);

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
        if (writeFailed)
            return kExitFailure;
        if (!ok) {
            if (!busy(reader))
                return failure(r.path, reader.errorString());
            continue;
        }
        reported = false;
        version = now;
    }
    return 0;
}

// A bar of `eighths` eighths of a cell, in block characters.
QString bar(qint64 eighths)
{
    static const char *const partial[] = {"", "▏", "▎", "▍", "▌", "▋", "▊", "▉"};
    QString out(static_cast<int>(eighths / 8), QChar(0x2588));
    out += QString::fromUtf8(partial[eighths % 8]);
    return out;
}

// Pads to `columns` terminal columns; CJK characters take two.
QString padded(const QString &text, int columns)
{
    int width = 0;
    for (const QChar c : text)
        width += c.unicode() >= 0x1100 ? 2 : 1;
    return text + QString(qMax(0, columns - width), QLatin1Char(' '));
}

int runStats(const Request &r)
{
    LogReader reader;
    if (int status = openLog(reader, r.path, LogReader::Access::ReadOnly))
        return status;
    QVector<SystemLog::LogCount> counts;
    if (!reader.count(r.from, r.to, r.bucket, &counts))
        return failure(r.path, reader.errorString());

    constexpr int kBarCells = 40;
    qint64 largest = 0;
    qint64 total = 0;
    for (const SystemLog::LogCount &c : counts) {
        largest = qMax(largest, c.count);
        total += c.count;
    }
    const bool hourly = r.bucket == LogReader::Bucket::Hour;
    const int countWidth = qMax(5, static_cast<int>(QString::number(largest).size()));
    QString out =
        padded(hourly ? QStringLiteral("hour") : QStringLiteral("day"), hourly ? 18 : 12) +
        padded(QStringLiteral("category"), 14) +
        QStringLiteral("count").rightJustified(countWidth) + QLatin1Char('\n');
    for (const SystemLog::LogCount &c : counts) {
        const QString bucket = hourly ? c.bucket + QStringLiteral(":00") : c.bucket;
        QString name = c.typeIsNull ? QString() : SystemLog::categoryName(c.type);
        if (name.isEmpty())
            name =
                c.typeIsNull ? QStringLiteral("type null") : QStringLiteral("type %1").arg(c.type);
        // At least an eighth for any count, so that a single record still shows.
        const qint64 eighths = qMax<qint64>(1, (c.count * kBarCells * 8 + largest / 2) / largest);
        out += padded(bucket, hourly ? 18 : 12) + padded(name, 14) +
               QString::number(c.count).rightJustified(countWidth) + QLatin1Char(' ') +
               bar(eighths) + QLatin1Char('\n');
    }
    out += QStringLiteral("%1 records").arg(total);
    if (r.from.isEmpty() && r.to.isEmpty())
        out += QStringLiteral(" in all\n");
    else
        out += QStringLiteral(" from %1 to %2\n")
                   .arg(r.from.isEmpty() ? QStringLiteral("the first") : r.from,
                        r.to.isEmpty() ? QStringLiteral("the last") : r.to);
    std::string buffer = out.toStdString();
    return writeOut(buffer, true) ? 0 : kExitFailure;
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
    // With a forwarder's cursor file, the records after its last delivered one stay. A missing
    // cursor file means that forwarder has delivered nothing yet.
    qint64 upToId = std::numeric_limits<qint64>::max();
    if (!r.keepUndelivered.isEmpty()) {
        bool exists = false;
        QString error;
        if (!CursorFile(r.keepUndelivered).load(&upToId, &exists, &error))
            return failure(r.keepUndelivered, error);
        if (!exists)
            upToId = 0;
    }
    LogReader reader;
    const QString before = r.day + QStringLiteral(" 00:00:00");
    if (!r.yes) {
        if (int status = openLog(reader, r.path, LogReader::Access::ReadOnly))
            return status;
        qint64 count = 0;
        if (!reader.countBefore(before, &count, upToId))
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
    const bool ok = reader.deleteBefore(before, &deleted, upToId);
    printLine(stdout,
              QStringLiteral("%1 records stamped before %2 deleted").arg(deleted).arg(r.day));
    if (!ok)
        return failure(r.path, reader.errorString());
    return 0;
}

int runForward(const Request &r)
{
    stopOnSignals();
    const auto stop = [] { return g_stop != 0; };
    TallyLog::ForwardTarget target;
    QString problem;
    if (!TallyLog::makeForwardTarget(r.receiver, r.identity, stop, &target, &problem))
        return usageError(findCommand(QStringLiteral("forward")), problem);
    TallyLog::ForwardOptions options;
    options.dbPath = r.path;
    options.cursorPath = r.cursorFile;
    options.receiver = r.receiver;
    options.selection.types = r.types;
    options.selection.grep = r.grep;
    options.selection.from = r.from;
    options.once = r.once;
    TallyLog::Forwarder forwarder(options, *target.encoder, *target.sender, stop,
                                  [](const QString &line) { printLine(stderr, line); });
    return forwarder.run();
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
                                  "exports and prunes its records, and forwards them to a "
                                  "central log.\n\nCommands:\n");
    for (const Command &c : kCommands)
        text += QStringLiteral("  %1%2\n")
                    .arg(padded(QLatin1String(c.name), 8), QString::fromUtf8(c.description));
    text += QStringLiteral("\n'tallylog COMMAND --help' shows a command's options.\n"
                           "Exit status: 0 done, 1 the file or the output failed, "
                           "2 wrong usage.\n");
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
    if (top.isSet(help) && positional.isEmpty()) {
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
    if (parser.isSet(commandHelpOption)) {
        std::string text = commandHelp(parser, *command).toStdString();
        return writeOut(text, true) ? 0 : kExitFailure;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(
            command,
            QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));

    Request request;
    if (!parseRequest(CommandLine(parser, taken), options, name, &request))
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
    if (name == QLatin1String("forward"))
        return runForward(request);
    return runPrune(request);
}
