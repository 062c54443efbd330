#pragma once

// The pieces every output of tallylog is made of, written once: valid UTF-8 out of whatever
// another program stored, a JSON string, a CSV field and a decimal number, appended to a byte
// buffer, and the names of the categories.

#include <QByteArray>
#include <QVector>
#include <QtGlobal>

#include <string>
#include <string_view>

namespace TallyLog {

// Text that is valid UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool isValidUtf8(std::string_view text);
// The text as valid UTF-8: each byte that starts no valid sequence becomes U+FFFD, as the window
// shows it; the rest stays as stored, a byte order mark at the start too (QString::fromUtf8
// would drop it). The text itself when it is valid, else the repaired text in `scratch`.
std::string_view validUtf8(std::string_view text, std::string &scratch);

// Appends a JSON string literal of text (valid UTF-8): quotes and backslashes escaped, control
// characters as \n, \r, \t or \u00XX; everything else, non-ASCII included, as it is.
void appendJsonString(std::string &out, std::string_view text);
// Appends SQLite's text of a real as a JSON value: the number as it is, an infinity ("Inf",
// "-Inf"), which JSON has no number for, as a string.
void appendJsonReal(std::string &out, std::string_view text);
// Appends one CSV field (RFC 4180): quoted, quotes doubled, when it holds a comma, a quote, CR
// or LF; as it is otherwise.
void appendCsvField(std::string &out, std::string_view text);
// Appends n in decimal.
void appendNumber(std::string &out, qint64 n);

// The names of the categories in UTF-8, by number.
QVector<QByteArray> categoryNamesUtf8();

} // namespace TallyLog
