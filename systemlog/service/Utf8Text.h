#pragma once

#include <QByteArray>

namespace SystemLog {

// The bytes the log stores for `len` bytes of a caller's message: exactly those of
// QString::fromUtf8(msg, len).toUtf8() (invalid sequences as U+FFFD, a leading byte order mark
// dropped). Text that UTF-8 decoding and encoding give back unchanged, which is nearly all text,
// is checked in one pass and copied once, without a detour through UTF-16.
QByteArray storedUtf8(const char *msg, int len);

// Whether QString::fromUtf8 gives back exactly the characters these bytes spell, so that a
// search of the bytes finds what a search of the decoded text finds: well-formed UTF-8 without a
// leading byte order mark or noncharacters.
bool decodesUnchanged(const char *bytes, int size);

} // namespace SystemLog
