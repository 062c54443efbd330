// export: the records of one category and day to the file the window's export writes.

#include "Command.h"
#include "DayExport.h"
#include "OpenWaiting.h"
#include "Options.h"
#include "read/LogReader.h"
#include "text/DateText.h"
#include "text/Output.h"

#include <QFileInfo>

namespace TallyLog {

namespace {

class ExportCommand : public Command
{
public:
    ExportCommand()
        : Command("export", "[--day D] --type T --dir DIR [-o window|csv|json] [--bom] [--force]",
                  "Writes the records of one category and day (default today) to "
                  "DIR/<D>系统日志.txt (.csv, .jsonl), as the window's export does; a file "
                  "already there stays unless --force is given.")
    {
    }

    void addOptions(QCommandLineParser &parser) const override
    {
        m_format.addTo(parser);
        parser.addOption(m_dayOption);
        parser.addOption(m_typeOption);
        parser.addOption(m_dirOption);
        parser.addOption(m_forceOption);
    }

    bool readOptions(const QCommandLineParser &parser, QString *problem) override;
    int run(const QString &path) override;

private:
    FormatOption m_format{QStringLiteral("window (the window's export file, .txt; text is the "
                                         "same), csv (.csv) or json (JSON Lines, .jsonl); default "
                                         "window.")};
    QCommandLineOption m_dayOption = RangeOptions::dayOption();
    QCommandLineOption m_typeOption{QStringLiteral("type"),
                                    QStringLiteral("The category: 0-4, param, user, status, "
                                                   "alarm, other or its name (报警记录)."),
                                    QStringLiteral("T")};
    QCommandLineOption m_dirOption{QStringLiteral("dir"),
                                   QStringLiteral("The directory to write the file into."),
                                   QStringLiteral("dir")};
    QCommandLineOption m_forceOption{QStringLiteral("force"),
                                     QStringLiteral("Replace a file of that name (the export of "
                                                    "another category, or of an earlier run).")};
    SystemLog::LogSelection m_query; // the day's records of the one category
    QString m_day;
    QString m_dir;
    bool m_force = false;
};

// Something at the name: a file, a directory or a link (dangling or not).
bool nameTaken(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

int refuseTaken(const QString &path)
{
    return failure(path, QStringLiteral("exists already; --force replaces it"));
}

bool ExportCommand::readOptions(const QCommandLineParser &parser, QString *problem)
{
    if (parser.isSet(m_typeOption) &&
        !parseCategories(parser.value(m_typeOption), &m_query.types, problem))
        return false;
    if (!m_format.read(parser, problem))
        return false;
    // The text file of an export is the window's: its name and its layout.
    if (m_format.format == Format::Text)
        m_format.format = Format::Window;
    if (!parser.isSet(m_typeOption) || !parser.isSet(m_dirOption)) {
        *problem = QStringLiteral("export needs --type and --dir");
        return false;
    }
    QDateTime now;
    if (!readClock(&now, problem))
        return false;
    m_day = dayText(now.date());
    if (parser.isSet(m_dayOption) && !readDay(now, parser.value(m_dayOption), &m_day, problem))
        return false;
    if (m_query.types.size() != 1) {
        *problem = QStringLiteral("export takes exactly one category");
        return false;
    }
    m_query.from = SystemLog::dayStart(m_day);
    m_query.to = SystemLog::dayEnd(m_day);
    m_dir = parser.value(m_dirOption);
    m_force = parser.isSet(m_forceOption);
    return true;
}

int ExportCommand::run(const QString &path)
{
    if (!QFileInfo(m_dir).isDir())
        return failure(m_dir, QStringLiteral("no such directory"));
    SystemLog::LogReader reader;
    if (const int status = openWaiting(reader, path))
        return status;
    const Format format = m_format.format;
    const QString suffix = format == Format::Csv    ? QStringLiteral(".csv")
                           : format == Format::Json ? QStringLiteral(".jsonl")
                                                    : QStringLiteral(".txt");
    // The name carries the day, not the category: a file there may be another category's.
    SystemLog::DayExport file(SystemLog::DayExport::filePath(m_dir, m_day, suffix));
    if (!m_force && nameTaken(file.path()))
        return refuseTaken(file.path());
    if (!file.open())
        return failure(file.path(), file.errorString());

    TextStyle style;
    style.bom = m_format.bom;
    RecordFormatter formatter(format, false, style);
    std::string buffer;
    formatter.appendStart(buffer);
    qint64 records = 0;
    bool writeFailed = false;
    const bool ok = reader.select(m_query, [&](const SystemLog::LogRecordView &record) {
        formatter.appendRecord(buffer, record);
        ++records;
        if (buffer.size() < kOutputChunk)
            return true;
        writeFailed = !file.write(buffer);
        buffer.clear();
        return !writeFailed;
    });
    if (writeFailed)
        return failure(file.path(), file.errorString());
    if (!ok)
        return failure(path, reader.errorString());
    if (records == 0) {
        file.cancel();
        printLine(stderr, QStringLiteral("tallylog: %1: no records of %2 on %3; nothing exported")
                              .arg(path, SystemLog::categoryName(m_query.types.first()), m_day));
        return kExitFailure;
    }
    // Without --force the file takes the name only if nothing has taken it meanwhile.
    if (!file.write(buffer))
        return failure(file.path(), file.errorString());
    if (!(m_force ? file.commit() : file.commitNew()))
        return !m_force && nameTaken(file.path()) ? refuseTaken(file.path())
                                                  : failure(file.path(), file.errorString());
    printLine(stdout, QStringLiteral("%1 records written to %2").arg(records).arg(file.path()));
    return kExitDone;
}

} // namespace

std::unique_ptr<Command> makeExportCommand()
{
    return std::make_unique<ExportCommand>();
}

} // namespace TallyLog
