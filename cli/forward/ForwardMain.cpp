// tallylog-forward: tallylog with the forwarding linked in, which `tallylog forward` replaces
// itself by; it takes the same command lines and delivers the records itself.

#include "Program.h"

int main(int argc, char *argv[])
{
    return TallyLog::runProgram(argc, argv, TallyLog::deliverForward);
}
