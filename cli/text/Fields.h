#pragma once

// The pieces every output of tallylog is made of, written once: a JSON string, a CSV field and
// a decimal number, appended to a byte buffer.

#include <QtGlobal>

#include <string>
#include <string_view>

namespace TallyLog {

// Appends a JSON string literal of text (valid UTF-8): quotes and backslashes escaped, control
// characters as \n, \r, \t or \u00XX; everything else, non-ASCII included, as it is.
void appendJsonString(std::string &out, std::string_view text);
// Appends one CSV field (RFC 4180): quoted, quotes doubled, when it holds a comma, a quote, CR
// or LF; as it is otherwise.
void appendCsvField(std::string &out, std::string_view text);
// Appends n in decimal.
void appendNumber(std::string &out, qint64 n);

} // namespace TallyLog
