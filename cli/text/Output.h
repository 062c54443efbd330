#pragma once

// What tallylog writes to a terminal or a pipe: its exit statuses, its one-line messages on
// standard error and its output, written in large pieces.

#include <QString>

#include <cstdio>
#include <functional>
#include <string>

namespace TallyLog {

// Exit status: 0 done, 1 the file or the output failed (one line on standard error), 2 wrong
// usage (one line on standard error).
constexpr int kExitDone = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Output is written in pieces of about this size (list, export); follow writes every record.
constexpr size_t kOutputChunk = 1 << 20;

// The text as UTF-8 and a newline.
void printLine(std::FILE *stream, const QString &text);
// "tallylog: <path>: <reason>" on standard error; returns kExitFailure.
int failure(const QString &path, const QString &reason);
// Writes out the buffer and empties it; false (with a message) when the output cannot take it.
bool writeOut(std::string &buffer, bool flush = false);
// Runs `start` (a pager's) once, just before the first bytes are written out: a listing that
// writes nothing, or fails before it does, never opens a pager. Empty: nothing more to run.
void setBeforeFirstOutput(std::function<void()> start);
// Standard output goes to a pager: a write that fails because the pager has ended (the user quit
// it) ends the output without a word (outputCutShort() says so afterwards).
void setOutputToPager(bool toPager);
bool outputCutShort();

// Whether standard output is a terminal, as it was when the program started (a pager started
// later takes the output through a pipe, but what is written is still for the terminal).
bool outputIsTerminal();

// Pads to `columns` terminal columns; CJK characters take two.
QString padded(const QString &text, int columns);

} // namespace TallyLog
