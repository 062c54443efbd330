// list: the records of a day or a range, in the order in which they were stored (or newest
// first), all of them, the first N or the last N.

#include "Command.h"
#include "OpenWaiting.h"
#include "Options.h"
#include "read/LogReader.h"
#include "spill/SpillListing.h"
#include "text/Output.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <limits>

#include <vector>

namespace TallyLog {

namespace {

using SystemLog::LogRecordView;

// The last records of `newestFirst` (a selection newest first, at most its limit), delivered
// oldest first: their span of ids is found first, then the rows are read again in order, so that
// memory does not grow with their number.
// On a damaged file, the ids that either reading could not read are added to *unreadable.
bool selectLastInOrder(SystemLog::LogReader &reader, const SystemLog::LogSelection &newestFirst,
                       const SystemLog::LogReader::RowCallback &onRow,
                       QVector<SystemLog::LogReader::IdRange> *unreadable, QString *damage)
{
    const auto noteDamage = [&] {
        for (const auto &range : reader.unreadableIds()) {
            const bool known =
                std::any_of(unreadable->cbegin(), unreadable->cend(), [&](const auto &r) {
                    return r.first <= range.first && range.last <= r.last;
                });
            if (!known)
                unreadable->append(range);
        }
        if (damage->isEmpty())
            *damage = reader.damage();
    };
    qint64 found = 0;
    qint64 newest = 0;
    qint64 oldest = 0;
    qint64 atOldest = 0; // the rows of the oldest id among them (a table without a key repeats)
    if (!reader.select(newestFirst, [&](const LogRecordView &r) {
            newest = found++ == 0 ? r.id : newest;
            atOldest = found > 1 && r.id == oldest ? atOldest + 1 : 1;
            oldest = r.id;
            return true;
        }))
        return false;
    noteDamage();
    if (found == 0)
        return true;
    SystemLog::LogSelection inOrder = newestFirst;
    inOrder.newestFirst = false;
    inOrder.limit = -1;
    inOrder.alongIds = true; // the span is known: no bounds to seek in the index
    inOrder.afterId = oldest == std::numeric_limits<qint64>::min() ? oldest : oldest - 1;
    inOrder.upToId = newest;
    qint64 delivered = 0;
    qint64 takenAtOldest = 0;
    const bool ok = reader.select(inOrder, [&](const LogRecordView &r) {
        if (r.id == oldest && takenAtOldest++ >= atOldest)
            return true;
        return onRow(r) && ++delivered < found;
    });
    noteDamage();
    std::sort(unreadable->begin(), unreadable->end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });
    return ok;
}

// The ids that a listing of a damaged file could not read, as one line on standard error:
// "ids 14001 to 14250, 29001 on". Returns kExitFailure: a part of the file is no full listing.
int reportUnreadable(const QString &path, const QString &damage,
                     const QVector<SystemLog::LogReader::IdRange> &ranges)
{
    QStringList stretches;
    for (const auto &range : ranges)
        stretches << (range.last == std::numeric_limits<qint64>::max()
                          ? QStringLiteral("%1 on").arg(range.first)
                      : range.first == range.last
                          ? QString::number(range.first)
                          : QStringLiteral("%1 to %2").arg(range.first).arg(range.last));
    return failure(path, QStringLiteral("damaged (%1): the records with ids %2 could not be read; "
                                        "every other record of the selection is listed")
                             .arg(damage, stretches.join(QStringLiteral(", "))));
}

class ListCommand : public Command
{
public:
    ListCommand()
        : Command("list",
                  "[--day D | --from/--since F --to/--until T] [--after-id N] [--type T[,T...]] "
                  "[--grep TEXT] [-g PATTERN [--case-sensitive]] [--limit N | -n N] [-r] [-f] "
                  "[-o text|window|csv|json] [--color WHEN] [--escape | --raw] | --pending [-o F]",
                  "Lists the records of a day (default today) or of a range, both ends "
                  "included, in the order in which they were stored (-r: newest first). "
                  "--pending: the records that wait in the spill journal, not yet stored.")
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
        parser.addOption(m_pendingOption);
    }

    bool readOptions(const QCommandLineParser &parser, QString *problem) override
    {
        m_pending = parser.isSet(m_pendingOption);
        const QStringList alongPending{"pending", "format", "o",  "output",  "color",
                                       "escape",  "raw",    "db", "no-pager"};
        for (const QString &name : parser.optionNames()) {
            if (m_pending && !alongPending.contains(name)) {
                *problem = QStringLiteral("--pending lists every waiting record and takes no "
                                          "--%1")
                               .arg(name);
                return false;
            }
        }
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
    int listPending(const QString &path);

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
    qint64 m_backlog = 10; // with -f: the records shown before following
    QCommandLineOption m_pendingOption{
        QStringLiteral("pending"),
        QStringLiteral("The records waiting in the spill journal beside the log, not yet stored "
                       "in it (id 0).")};
    bool m_pending = false;
    SystemLog::LogSelection m_query;  // the records listed, in the order read
    bool m_oldestFirstOfLast = false; // -n without -r: found newest first, written in order
};

// What waits in the journal beside the log, from the log's marks on, read without any lock; the
// records are written as stored ones would be, with id 0, and standard error says that they are
// not stored yet.
int ListCommand::listPending(const QString &path)
{
    const QString journal = QFileInfo(path).dir().filePath(QStringLiteral("dbLog.spill"));
    QHash<QString, qint64> marks;
    QString why;
    if (!SystemLog::Spill::readMarks(path, &marks, &why))
        printLine(stderr, QStringLiteral("tallylog: %1: %2: records it holds already may be "
                                         "listed as well")
                              .arg(path, why));
    RecordFormatter formatter(m_format.format, true, m_style.style);
    std::string buffer;
    formatter.appendStart(buffer);
    long long records = 0;
    long long skipped = 0;
    for (const auto &segment : SystemLog::Spill::listJournal(journal, marks)) {
        if (!segment.sound)
            printLine(
                stderr,
                QStringLiteral("tallylog: %1/%2: not a spill segment").arg(journal, segment.name));
        skipped += segment.skipped;
        for (const auto &waiting : segment.records) {
            SystemLog::LogRecordView record;
            record.datetime = std::string_view(waiting.stamp.constData(), waiting.stamp.size());
            record.type.kind = SystemLog::StoredType::Kind::Integer;
            record.type.integer = waiting.type;
            record.message = std::string_view(waiting.message.constData(), waiting.message.size());
            formatter.appendRecord(buffer, record);
            ++records;
            if (buffer.size() >= kOutputChunk && !writeOut(buffer))
                return kExitFailure;
        }
    }
    printLine(stderr,
              QStringLiteral("tallylog: %1: %2 records not yet stored in %3%4")
                  .arg(journal)
                  .arg(records)
                  .arg(path)
                  .arg(skipped > 0 ? QStringLiteral(" (%1 damaged bytes skipped)").arg(skipped)
                                   : QString()));
    return writeOut(buffer, true) ? kExitDone : kExitFailure;
}

int ListCommand::run(const QString &path)
{
    if (m_follow)
        return followLog(
            path, m_query, m_backlog, QString(),
            RecordFormatter(m_format.format, m_query.types.size() != 1, m_style.style));
    if (m_pending)
        return listPending(path);
    SystemLog::LogReader reader;
    if (const int status = openWaiting(reader, path))
        return status;
    RecordFormatter formatter(m_format.format, m_query.types.size() != 1, m_style.style);
    // A damaged file is listed as far as it can be read.
    m_query.aroundDamage = true;
    std::string buffer;
    buffer.reserve(kOutputChunk + (64 << 10));
    formatter.appendStart(buffer);
    bool writeFailed = false;
    const auto write = [&](const SystemLog::LogRecordView &record) {
        formatter.appendRecord(buffer, record);
        if (buffer.size() >= kOutputChunk && !writeOut(buffer)) {
            writeFailed = true;
            return false;
        }
        return true;
    };
    QVector<SystemLog::LogReader::IdRange> unreadable;
    QString damage;
    const bool ok = m_oldestFirstOfLast
                        ? selectLastInOrder(reader, m_query, write, &unreadable, &damage)
                        : reader.select(m_query, write);
    if (writeFailed)
        return kExitFailure;
    if (!ok) {
        writeOut(buffer, true);
        return failure(path, reader.errorString());
    }
    if (!m_oldestFirstOfLast) {
        unreadable = reader.unreadableIds();
        damage = reader.damage();
    }
    if (!writeOut(buffer, true))
        return kExitFailure;
    return unreadable.isEmpty() ? kExitDone : reportUnreadable(path, damage, unreadable);
}

} // namespace

std::unique_ptr<Command> makeListCommand()
{
    return std::make_unique<ListCommand>();
}

} // namespace TallyLog
