#pragma once

// Options that more than one command takes, each group with its definition, its checks and the
// values it yields. A command adds a group to its parser and reads it back after parsing.
//
// Which records a command reads is one value, a SystemLog::LogSelection (the span, the types, the
// texts, the ids after which, how many and in which order): the groups RangeOptions and
// SelectionOptions and the command's own options fill in that one value, and the command hands
// it as it is to the reader (or to forward's loop).

#include "read/LogReader.h"
#include "text/RecordFormat.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVector>

namespace TallyLog {

// --db PATH: the log file; every command takes it, before or after the command's name.
QCommandLineOption dbOption();
// --no-pager: a listing on a terminal is written to it directly; taken where --db is.
QCommandLineOption noPagerOption();

// Categories as numbers, names (报警记录) or English names (param, user, status, alarm, other),
// comma-separated, each once, in the order given; false with *problem for one that is none.
bool parseCategories(const QString &text, QVector<int> *types, QString *problem);

// The clock of this run (MomentText::kClockVariable or the system's); false with *problem when
// the variable is set but not a moment.
bool readClock(QDateTime *now, QString *problem);

// A moment or a day in any form of MomentText, read against `now`, as "yyyy-MM-dd hh:mm:ss" or
// "yyyy-MM-dd"; false with *problem ("bad time '...' (...)") when it is none.
bool readMoment(const QDateTime &now, const QString &text, QString *moment, QString *problem);
bool readDay(const QDateTime &now, const QString &text, QString *day, QString *problem);

// A count N >= 0 of `option`, when given; false with *problem for anything else.
bool readCount(const QCommandLineParser &parser, const QCommandLineOption &option, qint64 *count,
               QString *problem);

// An id of `option`, when given: any integer, those of other programs 0 and below too; false
// with *problem for anything else.
bool readId(const QCommandLineParser &parser, const QCommandLineOption &option, qint64 *id,
            QString *problem);

// The value of `option`, which when given must not be empty; false with *problem
// ("--NAME needs <what>") when it is.
bool readNonEmpty(const QCommandLineParser &parser, const QCommandLineOption &option,
                  const char *what, QString *value, QString *problem);

// -n/--lines N and -r/--reverse; each command says what N means to it.
QCommandLineOption linesOption(const QString &description);
QCommandLineOption reverseOption();

// The name of an option given more than once ("lines" for "-n 1 --lines 2"); empty when none
// is. --type and --grep combine and may be repeated.
QString repeatedOption(const QCommandLineParser &parser);

// --day D | --from F --to T | --since F --until T: a day (default today) or a range, both ends
// included, as the query's `from` and `to`. Each takes the forms of MomentText (--day the day of
// one); --since and --until are journalctl's names of --from and --to.
class RangeOptions
{
public:
    // --day alone, as export takes it.
    static QCommandLineOption dayOption();

    void addTo(QCommandLineParser &parser) const;
    // Sets query->from and query->to (empty: open).
    bool read(const QCommandLineParser &parser, SystemLog::LogSelection *query, QString *problem);
    // Whether any of the options is given.
    bool isGiven(const QCommandLineParser &parser) const;

    QDateTime now; // the clock the range was read against

private:
    bool readEnd(const QCommandLineParser &parser, const QCommandLineOption &exact,
                 const QCommandLineOption &relative, QString *moment, QString *problem) const;

    QCommandLineOption m_day = dayOption();
    QCommandLineOption m_from{QStringLiteral("from"),
                              QStringLiteral("The records from this moment on (included): "
                                             "yyyy-MM-dd [hh:mm[:ss]], hh:mm[:ss] (today), today, "
                                             "yesterday, now, -1h, -30min, -2d, -1w, +10min."),
                              QStringLiteral("time")};
    QCommandLineOption m_to{QStringLiteral("to"),
                            QStringLiteral("The records up to this moment (included), in the "
                                           "forms of --from."),
                            QStringLiteral("time")};
    QCommandLineOption m_since{{QStringLiteral("S"), QStringLiteral("since")},
                               QStringLiteral("The same as --from."),
                               QStringLiteral("time")};
    QCommandLineOption m_until{{QStringLiteral("U"), QStringLiteral("until")},
                               QStringLiteral("The same as --to."),
                               QStringLiteral("time")};
};

// --type T[,T...] --grep TEXT -g PATTERN --case-sensitive: which records a listing shows, as the
// query's `types`, `grep` and `pattern`. Repeated, --type adds categories (a record of any of
// them) and --grep adds texts (a message with all of them). The pattern ignores case unless it
// holds a capital letter or --case-sensitive is given, as journalctl's -g.
class SelectionOptions
{
public:
    void addTo(QCommandLineParser &parser) const;
    // Sets query->types (empty: every record), query->grep and query->pattern.
    bool read(const QCommandLineParser &parser, SystemLog::LogSelection *query, QString *problem);

private:
    QCommandLineOption m_type{QStringLiteral("type"),
                              QStringLiteral("Categories: 0-4, param, user, status, alarm, "
                                             "other or the names (报警记录), comma-separated "
                                             "(default: every record)."),
                              QStringLiteral("T[,T...]")};
    QCommandLineOption m_grep{QStringLiteral("grep"),
                              QStringLiteral("Only records whose message contains this text, "
                                             "ignoring case; given again, each of the texts."),
                              QStringLiteral("text")};
    QCommandLineOption m_regex{{QStringLiteral("g"), QStringLiteral("regex")},
                               QStringLiteral("Only records whose message matches this regular "
                                              "expression (Perl's), ignoring case unless it "
                                              "holds a capital letter."),
                               QStringLiteral("pattern")};
    QCommandLineOption m_caseSensitive{QStringLiteral("case-sensitive"),
                                       QStringLiteral("-g/--regex minds case, capitals or not.")};
};

// Whether a regular expression holds a capital letter of its own, not one of an escape (\S, \W,
// \p{Lu}): what decides that -g minds case.
bool hasCapitals(const QString &pattern);

// -o/--format text|window|csv|json --bom
class FormatOption
{
public:
    FormatOption() = default;
    // A command whose formats mean something else to it (stats, export) says what.
    explicit FormatOption(const QString &description) { m_format.setDescription(description); }

    void addTo(QCommandLineParser &parser) const
    {
        parser.addOption(m_format);
        parser.addOption(m_bom);
    }
    bool read(const QCommandLineParser &parser, QString *problem);

    Format format = Format::Text;
    bool bom = false; // csv: a UTF-8 byte order mark first

private:
    QCommandLineOption m_format{
        {QStringLiteral("o"), QStringLiteral("output"), QStringLiteral("format")},
        QStringLiteral("text (a line per record), window (as the window "
                       "shows them), csv or json (JSON Lines); default "
                       "text."),
        QStringLiteral("format"),
        QStringLiteral("text")};
    QCommandLineOption m_bom{QStringLiteral("bom"),
                             QStringLiteral("csv: a UTF-8 byte order mark first, so that "
                                            "spreadsheet programs (Excel) read it as UTF-8.")};
};

// --color WHEN --escape --raw: how the text and window formats write to a terminal or a pipe. On a
// terminal control characters are escaped and alarms coloured; through a pipe the text is written
// as stored, uncoloured, unless asked otherwise.
class TextStyleOptions
{
public:
    void addTo(QCommandLineParser &parser) const;
    // For the format read: --escape and --raw apply to text and window only.
    bool read(const QCommandLineParser &parser, const FormatOption &format, QString *problem);

    TextStyle style;

private:
    QCommandLineOption m_color{QStringLiteral("color"),
                               QStringLiteral("Alarms in red, stamps dimmed: auto (on a "
                                              "terminal, unless NO_COLOR is set), always or "
                                              "never."),
                               QStringLiteral("when"), QStringLiteral("auto")};
    QCommandLineOption m_escape{QStringLiteral("escape"),
                                QStringLiteral("Show control characters escaped (\\e, \\r, "
                                               "\\x07), as on a terminal, also through a pipe.")};
    QCommandLineOption m_raw{QStringLiteral("raw"),
                             QStringLiteral("Print stamps and messages as stored, byte for byte, "
                                            "also on a terminal.")};
};

} // namespace TallyLog
