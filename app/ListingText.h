#pragma once

#include <QString>

#include <string_view>

// The text by which the listing shows one record: "<date-time>:\n<message>", as the stored bytes
// decode as UTF-8, with every carriage return made a line feed (the view takes "\r\n" and a lone
// "\r" for a line break each, so the positions in the listing text are those of the view).
namespace ListingText {

// A message longer than kCutBytes shows only its first kShownBytes in the view, with a marked
// cut: laying out a message of hundreds of MiB would take the view minutes and gigabytes. So does
// a line with no place to break it (a long run of letters and digits, a dump in base64): the view
// lays out such a run in a time that grows with its square (a minute for a few hundred KiB), so a
// message is cut as well kLongRun bytes into the first run longer than that. Copying the record
// gives all of it.
constexpr int kCutBytes = 2 << 20;
constexpr int kShownBytes = 64 << 10;
constexpr int kLongRun = 8 << 10;

enum class Form
{
    Shown, // as the view shows it: a long message cut
    Whole, // the whole message, as copying gives it
};

QString record(std::string_view stamp, std::string_view message, Form form);
// How many bytes of the message the view shows: all of it, or where the cut is.
size_t shownBytes(std::string_view message);

// What shows in a record's place when it cannot be read: its date-time and why.
enum class Gap
{
    Gone,   // no longer in the log (pruned, or replaced by another record)
    Busy,   // another program holds the file; read again shortly
    Failed, // the file cannot be read
};
QString gap(const QString &stamp, Gap why, const QString &reason = QString());

} // namespace ListingText
