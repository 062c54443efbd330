// tallylog: reads the system log "dbLog.db" from a terminal or a script: lists, follows, counts,
// exports and prunes its records, and forwards them to a central log. `forward` is handed over to
// the program tallylog-forward (forward/ForwardMain.cpp), so that tallylog does not link Qt
// Network.

#include "Program.h"

int main(int argc, char *argv[])
{
    return TallyLog::runProgram(argc, argv, TallyLog::handOverForward);
}
