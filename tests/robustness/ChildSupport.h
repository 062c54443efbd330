#pragma once

// Shared by the helper programs that the robustness tests start: the options that restrict a
// child before it does anything else, and the line format in which a child reports what it saw.

#include <QByteArray>
#include <QString>

namespace Robustness {

// Exit codes of a helper program besides 0 (all commands ran).
enum ChildExit
{
    ExitUsage = 2,
    ExitCommandFailed = 3,
    // The restriction a case needs cannot be set up here (no privilege drop possible).
    ExitCannotRestrict = 77,
    // The restriction was set up but does not hold (the child can still read or write what it
    // must not): the case would prove nothing.
    ExitRestrictionIneffective = 78,
};

// Handles the leading options of argv and returns the index of the first command:
//   --as-nobody              when running as root, become uid/gid 65534 for good
//   --expect-unreadable P    the file P must not be readable from here on
//   --expect-unwritable D    no file can be created in the directory D from here on
// Exits the process with one of the codes above when a restriction fails.
int applyRestrictions(int argc, char **argv);

// Sets a file-size limit of `bytes` for this process with SIGXFSZ ignored, then checks that a
// write beyond the limit really fails (through a probe file in `probeDirectory`); exits with
// ExitCannotRestrict or ExitRestrictionIneffective otherwise.
void limitFileSize(long bytes, const QString &probeDirectory);

// Writes one line "key value" to standard output at once, the value percent-encoded UTF-8 so
// that a line is always one line.
void report(const char *key, const QString &value);

// The numbered records of the fault campaign: record `seq` of run `run` ("campaign <run> <seq> "
// and a filling of UTF-8 text, quotes, tabs and "%1" of a length of its own, now and then tens of
// KiB), and its category. The campaign finds them in the log by these texts.
QByteArray numberedMessage(int run, long long seq);
int numberedType(long long seq);

// Ends the process with a message on standard error.
[[noreturn]] void fail(int code, const QString &message);

} // namespace Robustness
