#pragma once

#include <QByteArray>

namespace SystemLog {

// The bytes the log stores for `len` bytes of a caller's message: exactly those of
// QString::fromUtf8(msg, len).toUtf8() (each byte that starts no well-formed sequence as U+FFFD,
// a leading byte order mark dropped), made in one pass over the bytes, without UTF-16. Text
// that decoding and encoding give back unchanged, which is nearly all text, is checked and
// copied once.
QByteArray storedUtf8(const char *msg, int len);
// The same for bytes already copied: text that comes back unchanged is handed back as it is,
// without a copy.
QByteArray storedUtf8(QByteArray bytes);

// Whether QString::fromUtf8 gives back exactly the characters these bytes spell, so that a
// search of the bytes finds what a search of the decoded text finds: well-formed UTF-8
// (noncharacters included) without a leading byte order mark.
bool decodesUnchanged(const char *bytes, int size);

} // namespace SystemLog
