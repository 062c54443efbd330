// prune: deletes the records stamped before a day; without --yes only counts them.

#include "Command.h"
#include "LogReader.h"
#include "Options.h"
#include "Output.h"

namespace TallyLog {

namespace {

using SystemLog::LogReader;

class PruneCommand : public Command
{
public:
    PruneCommand()
        : Command("prune", "--before yyyy-MM-dd [--yes]",
                  "Deletes the records stamped before a day; without --yes only says how many.")
    {
    }

    void addOptions(QCommandLineParser &parser) const override
    {
        parser.addOption(m_beforeOption);
        parser.addOption(m_yesOption);
    }

    bool readOptions(const QCommandLineParser &parser, QString *problem) override
    {
        m_day = parser.value(m_beforeOption);
        if (!isDay(m_day)) {
            *problem = parser.isSet(m_beforeOption)
                           ? QStringLiteral("bad day '%1' (yyyy-MM-dd)").arg(m_day)
                           : QStringLiteral("prune needs --before");
            return false;
        }
        m_yes = parser.isSet(m_yesOption);
        return true;
    }

    int run(const QString &path) override
    {
        LogReader reader;
        const QString before = m_day + QStringLiteral(" 00:00:00");
        if (!m_yes) {
            qint64 count = 0;
            if (!reader.open(path, LogReader::Access::ReadOnly) ||
                !reader.countBefore(before, &count))
                return failure(path, reader.errorString());
            printLine(stdout, QStringLiteral("%1 records stamped before %2 would be deleted "
                                             "(run again with --yes to delete them)")
                                  .arg(count)
                                  .arg(m_day));
            return kExitDone;
        }
        if (!reader.open(path, LogReader::Access::ReadWrite))
            return failure(path, reader.errorString());
        qint64 deleted = 0;
        const bool ok = reader.deleteBefore(before, &deleted);
        printLine(stdout,
                  QStringLiteral("%1 records stamped before %2 deleted").arg(deleted).arg(m_day));
        return ok ? kExitDone : failure(path, reader.errorString());
    }

private:
    QCommandLineOption m_beforeOption{QStringLiteral("before"),
                                      QStringLiteral("Delete the records stamped before this day."),
                                      QStringLiteral("yyyy-MM-dd")};
    QCommandLineOption m_yesOption{QStringLiteral("yes"),
                                   QStringLiteral("Really delete (without it: only count).")};
    QString m_day;
    bool m_yes = false;
};

} // namespace

std::unique_ptr<Command> makePruneCommand()
{
    return std::make_unique<PruneCommand>();
}

} // namespace TallyLog
