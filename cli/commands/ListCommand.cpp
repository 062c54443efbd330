// list: the records of a day or a range, in the order in which they were stored.

#include "Command.h"
#include "LogReader.h"
#include "Options.h"
#include "Output.h"

namespace TallyLog {

namespace {

class ListCommand : public Command
{
public:
    ListCommand()
        : Command("list",
                  "[--day D | --from F --to T] [--type T[,T...]] [--grep TEXT] [--limit N] "
                  "[--format text|csv|json]",
                  "Lists the records of a day (default today) or of a range, both ends "
                  "included, in the order in which they were stored.")
    {
    }

    void addOptions(QCommandLineParser &parser) const override
    {
        m_range.addTo(parser);
        m_selection.addTo(parser);
        parser.addOption(m_limitOption);
        m_format.addTo(parser);
    }

    bool readOptions(const QCommandLineParser &parser, QString *problem) override
    {
        if (!m_range.read(parser, problem) || !m_selection.read(parser, problem))
            return false;
        if (parser.isSet(m_limitOption)) {
            bool ok = false;
            m_limit = parser.value(m_limitOption).toLongLong(&ok);
            if (!ok || m_limit < 0) {
                *problem = QStringLiteral("--limit needs a number >= 0");
                return false;
            }
        }
        return m_format.read(parser, problem);
    }

    int run(const QString &path) override
    {
        SystemLog::LogReader reader;
        if (!reader.open(path))
            return failure(path, reader.errorString());
        SystemLog::LogSelection selection;
        selection.from = m_range.from;
        selection.to = m_range.to;
        m_selection.applyTo(&selection);
        selection.limit = m_limit;
        RecordFormatter formatter(m_format.format, selection.types.size() != 1);
        std::string buffer;
        buffer.reserve(kOutputChunk + (64 << 10));
        formatter.appendStart(buffer);
        bool writeFailed = false;
        const bool ok = reader.select(selection, [&](const SystemLog::LogRecordView &record) {
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
            return failure(path, reader.errorString());
        }
        return writeOut(buffer, true) ? kExitDone : kExitFailure;
    }

private:
    RangeOptions m_range;
    SelectionOptions m_selection;
    FormatOption m_format;
    QCommandLineOption m_limitOption{QStringLiteral("limit"),
                                     QStringLiteral("At most the first N records."),
                                     QStringLiteral("N")};
    qint64 m_limit = -1;
};

} // namespace

std::unique_ptr<Command> makeListCommand()
{
    return std::make_unique<ListCommand>();
}

} // namespace TallyLog
