// prune: deletes the records stamped before a day; without --yes only counts them.

#include "Command.h"
#include "CursorFile.h"
#include "OpenWaiting.h"
#include "Options.h"
#include "read/LogPruner.h"
#include "text/MomentText.h"
#include "text/Output.h"

#include <limits>

namespace TallyLog {

namespace {

using SystemLog::LogPruner;

class PruneCommand : public Command
{
public:
    PruneCommand()
        : Command("prune", "--before D [--keep-undelivered FILE] [--yes]",
                  "Deletes the records stamped before a day (or a moment); without --yes only "
                  "says how many.")
    {
    }

    void addOptions(QCommandLineParser &parser) const override
    {
        parser.addOption(m_beforeOption);
        parser.addOption(m_keepOption);
        parser.addOption(m_yesOption);
    }

    bool readOptions(const QCommandLineParser &parser, QString *problem) override
    {
        if (!parser.isSet(m_beforeOption)) {
            *problem = QStringLiteral("prune needs --before");
            return false;
        }
        // A day cuts at its midnight, any other time at its moment.
        const QString before = parser.value(m_beforeOption);
        QDateTime now;
        if (!readClock(&now, problem))
            return false;
        if (MomentText::isDayText(before)) {
            if (!readDay(now, before, &m_day, problem))
                return false;
            m_before = SystemLog::dayStart(m_day);
        } else if (readMoment(now, before, &m_before, problem)) {
            m_day = m_before;
        } else {
            return false;
        }
        m_yes = parser.isSet(m_yesOption);
        return readNonEmpty(parser, m_keepOption, "a cursor file", &m_keepUndelivered, problem);
    }

    int run(const QString &path) override
    {
        // With a forwarder's cursor file, the records after its last delivered one stay. A
        // forwarder writes its cursor file as it starts: a missing one is a wrong name (or a
        // forwarder that never ran), and pruning as if nothing were kept back could cost the
        // central log records.
        qint64 upToId = std::numeric_limits<qint64>::max();
        if (!m_keepUndelivered.isEmpty()) {
            bool exists = false;
            QString error;
            if (!CursorFile(m_keepUndelivered).load(&upToId, &exists, &error))
                return failure(m_keepUndelivered, error);
            if (!exists)
                return failure(m_keepUndelivered,
                               QStringLiteral("no such cursor file (a forwarder writes it when "
                                              "it starts; nothing was deleted)"));
        }
        LogPruner pruner;
        const QString &before = m_before;
        if (!m_yes) {
            qint64 count = 0;
            if (const int status = openWaiting(
                    pruner, path, [&] { return pruner.open(path, LogPruner::Access::CountOnly); }))
                return status;
            if (!pruner.countBefore(before, &count, upToId))
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
        const bool ok = pruner.deleteBefore(before, &deleted, upToId);
        printLine(stdout,
                  QStringLiteral("%1 records stamped before %2 deleted").arg(deleted).arg(m_day));
        return ok ? kExitDone : failure(path, pruner.errorString());
    }

private:
    QCommandLineOption m_beforeOption{
        QStringLiteral("before"),
        QStringLiteral("Delete the records stamped before this day (its midnight: yyyy-MM-dd, "
                       "today, yesterday) or this moment (-30d, -1w, yyyy-MM-dd hh:mm[:ss])."),
        QStringLiteral("time")};
    QCommandLineOption m_keepOption{
        QStringLiteral("keep-undelivered"),
        QStringLiteral("Keep every record that the forwarder with this cursor file has not "
                       "delivered yet."),
        QStringLiteral("file")};
    QCommandLineOption m_yesOption{QStringLiteral("yes"),
                                   QStringLiteral("Really delete (without it: only count).")};
    QString m_day;    // as said: the day, or the moment
    QString m_before; // the stamp the records are before
    QString m_keepUndelivered;
    bool m_yes = false;
};

} // namespace

std::unique_ptr<Command> makePruneCommand()
{
    return std::make_unique<PruneCommand>();
}

} // namespace TallyLog
