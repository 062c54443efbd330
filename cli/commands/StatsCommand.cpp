// stats: the records counted per category per hour or day, with a bar per row.

#include "Command.h"
#include "LogReader.h"
#include "Options.h"
#include "Output.h"
#include "RecordFormat.h"

namespace TallyLog {

namespace {

using SystemLog::LogReader;

// A bar of `eighths` eighths of a cell, in block characters.
QString bar(qint64 eighths)
{
    static const char *const partial[] = {"", "▏", "▎", "▍", "▌", "▋", "▊", "▉"};
    QString out(static_cast<int>(eighths / 8), QChar(0x2588));
    out += QString::fromUtf8(partial[eighths % 8]);
    return out;
}

// The name of a counted category, or what the type column holds when it names none.
QString categoryLabel(const SystemLog::LogCount &c)
{
    return c.type.isCategory() ? SystemLog::categoryName(static_cast<int>(c.type.integer))
                               : QStringLiteral("type ") + storedTypeText(c.type.view());
}

class StatsCommand : public Command
{
public:
    StatsCommand()
        : Command("stats", "[--day D | --from F --to T] [--by hour|day]",
                  "Counts the records per category per hour or day, with a bar per row.")
    {
    }

    void addOptions(QCommandLineParser &parser) const override
    {
        m_range.addTo(parser);
        parser.addOption(m_byOption);
    }

    bool readOptions(const QCommandLineParser &parser, QString *problem) override
    {
        if (!m_range.read(parser, problem))
            return false;
        const QString by = parser.value(m_byOption);
        if (by == QLatin1String("day")) {
            m_bucket = LogReader::Bucket::Day;
        } else if (by != QLatin1String("hour")) {
            *problem = QStringLiteral("--by takes hour or day");
            return false;
        }
        return true;
    }

    int run(const QString &path) override
    {
        LogReader reader;
        if (!reader.open(path))
            return failure(path, reader.errorString());
        QVector<SystemLog::LogCount> counts;
        if (!reader.count(m_range.from, m_range.to, m_bucket, &counts))
            return failure(path, reader.errorString());
        std::string buffer = table(counts).toStdString();
        return writeOut(buffer, true) ? kExitDone : kExitFailure;
    }

private:
    QString table(const QVector<SystemLog::LogCount> &counts) const;

    RangeOptions m_range;
    QCommandLineOption m_byOption{QStringLiteral("by"), QStringLiteral("hour (default) or day."),
                                  QStringLiteral("unit"), QStringLiteral("hour")};
    LogReader::Bucket m_bucket = LogReader::Bucket::Hour;
};

QString StatsCommand::table(const QVector<SystemLog::LogCount> &counts) const
{
    constexpr int kBarCells = 40;
    qint64 largest = 0;
    qint64 total = 0;
    for (const SystemLog::LogCount &c : counts) {
        largest = qMax(largest, c.count);
        total += c.count;
    }
    const bool hourly = m_bucket == LogReader::Bucket::Hour;
    const int bucketWidth = hourly ? 18 : 12;
    const int countWidth = qMax(5, static_cast<int>(QString::number(largest).size()));
    QString out = padded(hourly ? QStringLiteral("hour") : QStringLiteral("day"), bucketWidth) +
                  padded(QStringLiteral("category"), 14) +
                  QStringLiteral("count").rightJustified(countWidth) + QLatin1Char('\n');
    for (const SystemLog::LogCount &c : counts) {
        const QString bucket = hourly ? c.bucket + QStringLiteral(":00") : c.bucket;
        // At least an eighth for any count, so that a single record still shows.
        const qint64 eighths = qMax<qint64>(1, (c.count * kBarCells * 8 + largest / 2) / largest);
        out += padded(bucket, bucketWidth) + padded(categoryLabel(c), 14) +
               QString::number(c.count).rightJustified(countWidth) + QLatin1Char(' ') +
               bar(eighths) + QLatin1Char('\n');
    }
    out += QStringLiteral("%1 records").arg(total);
    if (m_range.from.isEmpty() && m_range.to.isEmpty())
        out += QStringLiteral(" in all\n");
    else
        out += QStringLiteral(" from %1 to %2\n")
                   .arg(m_range.from.isEmpty() ? QStringLiteral("the first") : m_range.from,
                        m_range.to.isEmpty() ? QStringLiteral("the last") : m_range.to);
    return out;
}

} // namespace

std::unique_ptr<Command> makeStatsCommand()
{
    return std::make_unique<StatsCommand>();
}

} // namespace TallyLog
