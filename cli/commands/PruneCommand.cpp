// prune: deletes the records stamped before a day; without --yes only counts them.

#include "Command.h"
#include "LogPruner.h"
#include "OpenWaiting.h"
#include "Options.h"
#include "Output.h"

namespace TallyLog {

namespace {

using SystemLog::LogPruner;

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
        LogPruner pruner;
        const QString before = SystemLog::dayStart(m_day);
        if (!m_yes) {
            qint64 count = 0;
            if (const int status = openWaiting(
                    pruner, path, [&] { return pruner.open(path, LogPruner::Access::CountOnly); }))
                return status;
            if (!pruner.countBefore(before, &count))
                return failure(path, pruner.errorString());
            printLine(stdout, QStringLiteral("%1 records stamped before %2 would be deleted "
                                             "(run again with --yes to delete them)")
                                  .arg(count)
                                  .arg(m_day));
            return kExitDone;
        }
        // Opened for writing, the pruner first undoes what a crashed writer left half written.
        if (const int status = openWaiting(
                pruner, path, [&] { return pruner.open(path, LogPruner::Access::Delete); }))
            return status;
        qint64 deleted = 0;
        const bool ok = pruner.deleteBefore(before, &deleted);
        printLine(stdout,
                  QStringLiteral("%1 records stamped before %2 deleted").arg(deleted).arg(m_day));
        return ok ? kExitDone : failure(path, pruner.errorString());
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
