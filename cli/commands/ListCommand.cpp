// list: the records of a day or a range, in the order in which they were stored (or newest
// first), all of them, the first N or the last N.

#include "Command.h"
#include "OpenWaiting.h"
#include "Options.h"
#include "read/LogReader.h"
#include "text/Output.h"

#include <vector>

namespace TallyLog {

namespace {

class ListCommand : public Command
{
public:
    ListCommand()
        : Command("list",
                  "[--day D | --from/--since F --to/--until T] [--after-id N] [--type T[,T...]] "
                  "[--grep TEXT] [-g PATTERN [--case-sensitive]] [--limit N | -n N] [-r] [-f] "
                  "[-o text|window|csv|json] [--color WHEN] [--escape | --raw]",
                  "Lists the records of a day (default today) or of a range, both ends "
                  "included, in the order in which they were stored (-r: newest first).")
    {
    }

    void addOptions(QCommandLineParser &parser) const override
    {
        m_range.addTo(parser);
        parser.addOption(m_afterIdOption);
        m_selection.addTo(parser);
        parser.addOption(m_limitOption);
        parser.addOption(m_linesOption);
        parser.addOption(m_reverseOption);
        parser.addOption(m_followOption);
        m_format.addTo(parser);
        m_style.addTo(parser);
    }

    bool readOptions(const QCommandLineParser &parser, QString *problem) override
    {
        if (parser.isSet(m_followOption))
            return readFollow(parser, problem);
        qint64 lines = -1;
        if (!m_range.read(parser, &m_query, problem) ||
            !m_selection.read(parser, &m_query, problem) ||
            !readId(parser, m_afterIdOption, &m_query.afterId, problem) ||
            !readCount(parser, m_limitOption, &m_query.limit, problem) ||
            !readCount(parser, m_linesOption, &lines, problem))
            return false;
        if (parser.isSet(m_limitOption) && parser.isSet(m_linesOption)) {
            *problem = QStringLiteral("--limit (the first N) and -n (the last N) exclude each "
                                      "other");
            return false;
        }
        // The last N are read newest first; without --reverse they are written oldest first.
        const bool reverse = parser.isSet(m_reverseOption);
        if (lines >= 0)
            m_query.limit = lines;
        m_query.newestFirst = reverse || lines >= 0;
        m_oldestFirstOfLast = lines >= 0 && !reverse;
        return m_format.read(parser, problem) && m_style.read(parser, m_format, problem);
    }

    int run(const QString &path) override;
    bool pages() const override { return !m_follow; }

private:
    // -f: follow's run with the selection of list's options that it takes.
    bool readFollow(const QCommandLineParser &parser, QString *problem)
    {
        m_follow = true;
        if (m_range.isGiven(parser) || parser.isSet(m_afterIdOption) ||
            parser.isSet(m_limitOption) || parser.isSet(m_reverseOption)) {
            *problem = QStringLiteral("-f/--follow takes no day, range, --after-id, --limit or "
                                      "--reverse: it shows the last N (-n, default 10), then "
                                      "each new record");
            return false;
        }
        return m_selection.read(parser, &m_query, problem) &&
               readCount(parser, m_linesOption, &m_backlog, problem) &&
               m_format.read(parser, problem) && m_style.read(parser, m_format, problem);
    }

    RangeOptions m_range;
    SelectionOptions m_selection;
    FormatOption m_format;
    TextStyleOptions m_style;
    QCommandLineOption m_afterIdOption{QStringLiteral("after-id"),
                                       QStringLiteral("Only the records with a larger id."),
                                       QStringLiteral("N")};
    QCommandLineOption m_limitOption{QStringLiteral("limit"),
                                     QStringLiteral("At most the first N records."),
                                     QStringLiteral("N")};
    QCommandLineOption m_linesOption =
        linesOption(QStringLiteral("The last N records, in stored order (0: none)."));
    QCommandLineOption m_reverseOption = reverseOption();
    QCommandLineOption m_followOption{{QStringLiteral("f"), QStringLiteral("follow")},
                                      QStringLiteral("Then every new record as it is stored, as "
                                                     "the command follow does (Ctrl+C ends).")};
    bool m_follow = false;
    qint64 m_backlog = 10;            // with -f: the records shown before following
    SystemLog::LogSelection m_query;  // the records listed, in the order read
    bool m_oldestFirstOfLast = false; // -n without -r: read newest first, written in reverse
};

int ListCommand::run(const QString &path)
{
    if (m_follow)
        return followLog(
            path, m_query, m_backlog, QString(),
            RecordFormatter(m_format.format, m_query.types.size() != 1, m_style.style));
    SystemLog::LogReader reader;
    if (const int status = openWaiting(reader, path))
        return status;
    const bool collect = m_oldestFirstOfLast;
    RecordFormatter formatter(m_format.format, m_query.types.size() != 1, m_style.style);
    std::string buffer;
    buffer.reserve(kOutputChunk + (64 << 10));
    formatter.appendStart(buffer);
    // The last N, newest first, formatted one after another; written out in reverse.
    std::string collected;
    std::vector<size_t> starts;
    bool writeFailed = false;
    const bool ok = reader.select(m_query, [&](const SystemLog::LogRecordView &record) {
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
        return failure(path, reader.errorString());
    }
    return writeOut(buffer, true) ? kExitDone : kExitFailure;
}

} // namespace

std::unique_ptr<Command> makeListCommand()
{
    return std::make_unique<ListCommand>();
}

} // namespace TallyLog
