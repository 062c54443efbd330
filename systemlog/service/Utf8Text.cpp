#include "service/Utf8Text.h"

#include <QString>

#include <cstring>

namespace SystemLog {

namespace {

// Whether decoding `size` bytes as UTF-8 and encoding them again gives the same bytes: well
// formed (no overlong forms, surrogates or values beyond U+10FFFF), no leading byte order mark,
// and, to be on the safe side of every decoder's rules, no noncharacters (U+FDD0..U+FDEF, and
// U+xFFFE, U+xFFFF of every plane). Anything else takes the toolkit's own conversion.
bool roundTrips(const unsigned char *p, int size)
{
    if (size >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF)
        return false;
    int i = 0;
    while (i < size) {
        // Eight ASCII bytes at a time: the common case.
        if (i + 8 <= size) {
            quint64 word;
            std::memcpy(&word, p + i, 8);
            if ((word & 0x8080808080808080ull) == 0) {
                i += 8;
                continue;
            }
        }
        const unsigned char b = p[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        int extra;
        char32_t c;
        if (b >= 0xC2 && b <= 0xDF) {
            extra = 1;
            c = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            extra = 2;
            c = b & 0x0F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            extra = 3;
            c = b & 0x07;
        } else {
            return false;
        }
        if (i + extra >= size)
            return false;
        for (int k = 1; k <= extra; ++k) {
            const unsigned char n = p[i + k];
            if ((n & 0xC0) != 0x80)
                return false;
            c = (c << 6) | (n & 0x3F);
        }
        const char32_t lowest = extra == 1 ? 0x80 : extra == 2 ? 0x800 : 0x10000;
        if (c < lowest || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF) ||
            (c >= 0xFDD0 && c <= 0xFDEF) || (c & 0xFFFE) == 0xFFFE)
            return false;
        i += extra + 1;
    }
    return true;
}

} // namespace

bool decodesUnchanged(const char *bytes, int size)
{
    return roundTrips(reinterpret_cast<const unsigned char *>(bytes), size);
}

QByteArray storedUtf8(const char *msg, int len)
{
    if (!msg || len <= 0)
        return QByteArray();
    if (roundTrips(reinterpret_cast<const unsigned char *>(msg), len))
        return QByteArray(msg, len);
    return QString::fromUtf8(msg, len).toUtf8();
}

} // namespace SystemLog
