#include "Command.h"

namespace TallyLog {

QString Command::usage() const
{
    return QStringLiteral("tallylog [--db PATH] %1 %2").arg(name(), synopsis());
}

CommandTable commandTable(ForwardRunner runForward)
{
    CommandTable table;
    table.push_back(makeListCommand());
    table.push_back(makeFollowCommand());
    table.push_back(makeStatsCommand());
    table.push_back(makeExportCommand());
    table.push_back(makePruneCommand());
    table.push_back(makeForwardCommand(runForward));
    return table;
}

} // namespace TallyLog
