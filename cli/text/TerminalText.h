#pragma once

// Text made safe for a terminal: a stored message must not be able to move the cursor, change
// colours or retitle the window of whoever lists it.

#include <string>
#include <string_view>

namespace TallyLog {

// Appends valid UTF-8 `text` with every control character other than line feed and tab shown
// as an escape: ESC as \e, CR as \r, the other C0 controls and DEL as \xNN, and the C1 controls
// (U+0080 to U+009F, which some terminals obey like ESC sequences) as \uNNNN.
void appendEscaped(std::string &out, std::string_view text);

// Whether `text` holds anything that appendEscaped would change.
bool needsEscaping(std::string_view text);

} // namespace TallyLog
