#pragma once

// Text made safe for a terminal: a stored message must not be able to move the cursor, change
// colours or retitle the window of whoever lists it.

#include <string>
#include <string_view>

namespace TallyLog {

// ANSI select-graphic-rendition sequences of the coloured text forms.
constexpr const char kSgrDim[] = "\x1b[2m";
constexpr const char kSgrRed[] = "\x1b[31m";
constexpr const char kSgrReset[] = "\x1b[0m";

// What a control character becomes in appendEscaped.
enum class Escapes
{
    Text, // ESC as \e, CR as \r, the other C0 controls and DEL as \xNN, C1 as \uNNNN
    Csv,  // as Text, but a CR before a LF kept: the line end of CSV (RFC 4180)
    Json, // every one as \u00NN, a JSON string's escape
};

// Appends valid UTF-8 `text` with every control character other than line feed and tab shown
// as an escape, the C1 controls (U+0080 to U+009F, which some terminals obey like ESC sequences)
// too.
void appendEscaped(std::string &out, std::string_view text, Escapes escapes = Escapes::Text);
// Escapes the controls in out[from...] as appendEscaped does.
void escapeFrom(std::string &out, size_t from, Escapes escapes);

// Whether `text` holds anything that appendEscaped would change.
bool needsEscaping(std::string_view text);

// The columns a terminal gives `text` (UTF-8): two for East Asian wide characters (Chinese
// names), none for combining marks, one for anything else, a byte that starts no character too.
size_t displayWidth(std::string_view text);

} // namespace TallyLog
