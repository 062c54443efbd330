#pragma once

// Faults injected into the service child at named points, as SQLite's own crash and I/O-error
// tests do: an SQLite VFS registered as the default one wraps the real "unix" VFS and makes the
// N-th write, sync, truncation or deletion of the chosen files fail (SQLITE_FULL, an I/O error)
// or ends the process with SIGKILL right before it; the spill journal's I/O seam (spill/SpillIo.h)
// likewise, with ENOSPC or EIO. The fault plan is text, so that the campaign can print and pass it:
//
//   POINT:FILES:NTH:ACTION:COUNT
//   POINT   write | sync | truncate | delete | spillwrite | spillsync | spilldirsync
//   FILES   any | log ("dbLog.db" and its journals) | side (every other file)
//   NTH     the first operation that fails (1 = the first one of that point and those files)
//   ACTION  full | ioerr | kill
//   COUNT   how many operations in a row fail from there (a kill needs only the first)

#include <QString>

namespace Robustness {

struct FaultPlan
{
    enum class Point
    {
        Write,
        Sync,
        Truncate,
        Delete,
        SpillWrite,
        SpillSync,
        SpillDirSync,
    };
    enum class Files
    {
        Any,
        Log,
        Side,
    };
    enum class Action
    {
        Full,
        IoErr,
        Kill,
    };
    Point point = Point::Write;
    Files files = Files::Any;
    long nth = 1;
    Action action = Action::IoErr;
    long count = 1;

    // False when `text` is not a plan of the form above.
    static bool parse(const QString &text, FaultPlan *plan);
    QString text() const;
    bool isSpill() const { return point >= Point::SpillWrite; }
};

// Called right before a kill, from the thread that meets the fault: writes what the child has to
// say with async-signal-safe calls only (another thread may hold stdio's locks).
using BeforeKill = void (*)();

// Registers the faulting VFS as the default one (connections opened from here on use it) and the
// spill journal's fault hook. False when the real VFS cannot be had.
bool installFaults(const FaultPlan &plan, BeforeKill beforeKill);

} // namespace Robustness
