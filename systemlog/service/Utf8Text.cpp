#include "service/Utf8Text.h"

#include <cstring>

namespace SystemLog {

namespace {

const char kReplacement[] = "\xEF\xBF\xBD"; // U+FFFD

bool isContinuation(unsigned char b)
{
    return (b & 0xC0) == 0x80;
}

// The length of the well-formed sequence that starts at p[0] (1 to 4 bytes), or 0 where the
// toolkit's decoder takes p[0] alone as an error: a stray continuation byte, a lead byte that
// can only start an overlong form (0xC0, 0xC1) or a value beyond U+10FFFF (0xF5 and up), a
// sequence cut short by a byte that continues nothing or by the end, and a sequence whose value
// is overlong, a surrogate or beyond U+10FFFF. Noncharacters are well formed.
int sequenceLength(const unsigned char *p, std::size_t available)
{
    const unsigned char b = p[0];
    if (b < 0x80)
        return 1;
    int extra;
    char32_t c;
    char32_t lowest;
    if (b < 0xC2) {
        return 0;
    } else if (b < 0xE0) {
        extra = 1;
        c = b & 0x1F;
        lowest = 0x80;
    } else if (b < 0xF0) {
        extra = 2;
        c = b & 0x0F;
        lowest = 0x800;
    } else if (b < 0xF5) {
        extra = 3;
        c = b & 0x07;
        lowest = 0x10000;
    } else {
        return 0;
    }
    if (available <= std::size_t(extra))
        return 0;
    for (int k = 1; k <= extra; ++k) {
        if (!isContinuation(p[k]))
            return 0;
        c = (c << 6) | (p[k] & 0x3F);
    }
    if (c < lowest || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return 0;
    return extra + 1;
}

bool startsWithBom(const unsigned char *p, std::size_t size)
{
    return size >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF;
}

// The offset of the first byte that the decoder does not pass through unchanged: the start of
// the first ill-formed sequence, or `size` when there is none.
std::size_t firstIllFormed(const unsigned char *p, std::size_t size)
{
    std::size_t i = 0;
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
        const int n = sequenceLength(p + i, size - i);
        if (n == 0)
            return i;
        i += std::size_t(n);
    }
    return size;
}

// From the first ill-formed sequence on: each byte that starts none is replaced by U+FFFD and
// decoding goes on at the byte after it, as the toolkit's decoder does.
QByteArray replaceIllFormed(const unsigned char *p, std::size_t size, std::size_t from)
{
    QByteArray out;
    // At most three bytes for every byte of input.
    out.reserve(int(qMin<std::size_t>(from + (size - from) * 3, std::size_t(0x7FFFFFFF))));
    out.append(reinterpret_cast<const char *>(p), int(from));
    std::size_t i = from;
    while (i < size) {
        const std::size_t good = i + firstIllFormed(p + i, size - i);
        out.append(reinterpret_cast<const char *>(p + i), int(good - i));
        if (good == size)
            break;
        out.append(kReplacement, 3);
        i = good + 1;
    }
    return out;
}

} // namespace

bool decodesUnchanged(const char *bytes, int size)
{
    const auto *p = reinterpret_cast<const unsigned char *>(bytes);
    const std::size_t length = size > 0 ? std::size_t(size) : 0;
    return !startsWithBom(p, length) && firstIllFormed(p, length) == length;
}

QByteArray storedUtf8(const char *msg, int len)
{
    if (!msg || len <= 0)
        return QByteArray();
    const auto *p = reinterpret_cast<const unsigned char *>(msg);
    const std::size_t size = std::size_t(len);
    const std::size_t skip = startsWithBom(p, size) ? 3 : 0;
    const std::size_t bad = skip + firstIllFormed(p + skip, size - skip);
    if (bad == size)
        return QByteArray(msg + skip, int(size - skip));
    return replaceIllFormed(p + skip, size - skip, bad - skip);
}

QByteArray storedUtf8(QByteArray bytes)
{
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.constData());
    const std::size_t size = std::size_t(bytes.size());
    if (!startsWithBom(p, size) && firstIllFormed(p, size) == size)
        return bytes;
    return storedUtf8(bytes.constData(), bytes.size());
}

} // namespace SystemLog
