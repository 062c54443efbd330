#pragma once

#include <QtGlobal>

namespace SystemLog {

class RecordQueue;
class StopRequest;
class WaitingRecords;
class WriterReports;

// What the writer thread works with: the stop request, the queue it takes records from, the
// records it has taken and not yet stored, and what it says.
struct WriterParts
{
    StopRequest &stop;
    RecordQueue &queue;
    WaitingRecords &waiting;
    WriterReports &reports;
    qint64 memoryLimit; // waiting records beyond this estimated memory go to the spill journal
    int sleepMs;        // the pause after each cycle
    qint64 spillLimit;  // the spill journal's disk bound (see SpillJournal)
    int spillKeepFreePercent;
};

// The writer thread's loop. Each cycle takes what was queued, sets up the log if it is not
// ready, moves older records out of the spill journal, stores a batch in one transaction, says
// what became of the log and spills what cannot wait in memory. It ends once everything handed
// over up to the stop request is stored or has gone to the spill journal.
void runWriterLoop(const WriterParts &parts);

} // namespace SystemLog
