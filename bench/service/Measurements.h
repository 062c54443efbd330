#pragma once

#include "BenchSupport.h"

#include <vector>

namespace bench {

// Cost of one output-hook call with the writer running, on 1 and on 2 threads, beside an
// uncontended std::mutex lock/unlock plus QString::fromUtf8 of the same bytes (one mutex shared
// by both threads in the 2-thread case, as the writer's queue mutex is).
std::vector<Row> measureHookCost(int rounds, int callsPerRound);

// Records per second stored by the writer, beside a plain sqlite3 loop in one transaction.
Row measureStoringRate(int records, int runs);

// queryDay on a file of `records` records over `days` days and 5 categories, beside the same
// select as a plain sqlite3 prepared statement on the same file.
Row measureQueryDay(int records, int days, int runs);

// The service's peak resident memory above what the process held before, while it stores one
// message of `megabytes` million bytes, beside the message's size.
Row measureBigMessage(int megabytes);

} // namespace bench
