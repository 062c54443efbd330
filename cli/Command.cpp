#include "Command.h"

namespace TallyLog {

QString Command::usage() const
{
    return QStringLiteral("tallylog [--db PATH] %1 %2").arg(name(), synopsis());
}

CommandTable commandTable()
{
    CommandTable table;
    table.push_back(makeListCommand());
    table.push_back(makeFollowCommand());
    table.push_back(makeStatsCommand());
    table.push_back(makeExportCommand());
    table.push_back(makePruneCommand());
    table.push_back(makeForwardCommand());
    return table;
}

} // namespace TallyLog
