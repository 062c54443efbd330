// stats: the records counted per category per hour or day, with a bar per row; hours or days
// without records count 0, so that a silent stretch shows.

#include "Command.h"
#include "OpenWaiting.h"
#include "Options.h"
#include "commands/StatsTable.h"
#include "read/LogReader.h"
#include "text/DateText.h"
#include "text/Output.h"
#include "text/TerminalText.h"

namespace TallyLog {

namespace {

using SystemLog::LogReader;

class StatsCommand : public Command
{
public:
    StatsCommand()
        : Command("stats",
                  "[--day D | --from/--since F --to/--until T] [--by hour|day] "
                  "[-o text|csv|json] [--bom]",
                  "Counts the records per category per hour or day, with a bar per row; hours "
                  "or days without records count 0.")
    {
    }

    void addOptions(QCommandLineParser &parser) const override
    {
        m_range.addTo(parser);
        parser.addOption(m_byOption);
        m_format.addTo(parser);
    }

    bool readOptions(const QCommandLineParser &parser, QString *problem) override
    {
        if (!m_range.read(parser, &m_query, problem) || !m_format.read(parser, problem))
            return false;
        if (m_format.format == Format::Window) {
            *problem = QStringLiteral("stats writes text, csv or json");
            return false;
        }
        const QString by = parser.value(m_byOption);
        if (by == QLatin1String("day")) {
            m_unit = StatsTable::Unit::Day;
        } else if (by != QLatin1String("hour")) {
            *problem = QStringLiteral("--by takes hour or day");
            return false;
        }
        return true;
    }

    int run(const QString &path) override;
    bool pages() const override { return true; }

private:
    bool fillSpan(LogReader &reader, const QVector<SystemLog::LogCount> &counts, QString *first,
                  QString *last) const;

    RangeOptions m_range;
    SystemLog::LogSelection m_query; // the span counted: from and to
    FormatOption m_format{QStringLiteral("text (a table with a bar per row), csv or json (JSON "
                                         "Lines); default text.")};
    QCommandLineOption m_byOption{QStringLiteral("by"), QStringLiteral("hour (default) or day."),
                                  QStringLiteral("unit"), QStringLiteral("hour")};
    StatsTable::Unit m_unit = StatsTable::Unit::Hour;
};

// The buckets to show even without records: those of the range, but not before the log's first
// record (nothing could have been stored then) nor after the current hour or day (nothing has
// been yet), and out to the first and last buckets that hold records (a clock set back stores
// older stamps after newer ones).
bool StatsCommand::fillSpan(LogReader &reader, const QVector<SystemLog::LogCount> &counts,
                            QString *first, QString *last) const
{
    SystemLog::LogSelection oldest;
    oldest.limit = 1;
    QString start;
    if (!reader.select(oldest, [&](const SystemLog::LogRecordView &record) {
            start =
                QString::fromUtf8(record.datetime.data(), static_cast<int>(record.datetime.size()));
            return false;
        }))
        return false;
    if (!isMoment(start))
        start.clear();
    if (!m_query.from.isEmpty())
        start = start.isEmpty() ? m_query.from : qMax(start, m_query.from);
    // Only buckets of real stamps widen the span: a stamp that another program stored as other
    // text ("yesterday") sorts after every date and would ask for every hour up to the cap.
    const QString time =
        m_unit == StatsTable::Unit::Hour ? QStringLiteral(":00:00") : QStringLiteral(" 00:00:00");
    QString firstCounted;
    QString lastCounted;
    for (const SystemLog::LogCount &c : counts) {
        if (!isMoment(c.bucket + time))
            continue;
        if (firstCounted.isEmpty())
            firstCounted = c.bucket;
        lastCounted = c.bucket;
    }
    if (start.isEmpty() && firstCounted.isEmpty())
        return true;
    QString end = stampText(m_range.now);
    if (!m_query.to.isEmpty())
        end = qMin(end, m_query.to);
    *first = start.isEmpty() ? firstCounted : StatsTable::bucketOf(m_unit, start);
    if (!firstCounted.isEmpty())
        *first = qMin(*first, firstCounted);
    *last = qMax(StatsTable::bucketOf(m_unit, end), lastCounted);
    return true;
}

int StatsCommand::run(const QString &path)
{
    LogReader reader;
    if (const int status = openWaiting(reader, path))
        return status;
    QVector<SystemLog::LogCount> counts;
    QString first;
    QString last;
    const LogReader::Bucket bucket =
        m_unit == StatsTable::Unit::Hour ? LogReader::Bucket::Hour : LogReader::Bucket::Day;
    if (!reader.count(m_query.from, m_query.to, bucket, &counts) ||
        !fillSpan(reader, counts, &first, &last))
        return failure(path, reader.errorString());
    const StatsTable table(m_unit, counts, first, last);
    std::string out;
    if (m_format.format == Format::Csv || m_format.format == Format::Json) {
        const bool csv = m_format.format == Format::Csv;
        out = csv ? table.csv(m_format.bom) : table.json();
        // A type that another program stored may hold control characters.
        if (outputIsTerminal())
            escapeFrom(out, 0, csv ? Escapes::Csv : Escapes::Json);
    } else {
        const QString &from = m_query.from;
        const QString &to = m_query.to;
        out = table.text(from.isEmpty() && to.isEmpty()
                             ? QStringLiteral("in all")
                             : QStringLiteral("from %1 to %2")
                                   .arg(from.isEmpty() ? QStringLiteral("the first") : from,
                                        to.isEmpty() ? QStringLiteral("the last") : to));
    }
    return writeOut(out, true) ? kExitDone : kExitFailure;
}

} // namespace

std::unique_ptr<Command> makeStatsCommand()
{
    return std::make_unique<StatsCommand>();
}

} // namespace TallyLog
