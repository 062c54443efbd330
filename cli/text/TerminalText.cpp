#include "text/TerminalText.h"

#include <cstdio>

namespace TallyLog {

namespace {

bool isC0OrDelete(unsigned char c)
{
    return (c < 0x20 && c != '\n' && c != '\t') || c == 0x7f;
}

// U+0080 to U+009F, encoded as C2 80 to C2 9F.
bool isC1At(std::string_view text, size_t i)
{
    return static_cast<unsigned char>(text[i]) == 0xc2 && i + 1 < text.size() &&
           static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
           static_cast<unsigned char>(text[i + 1]) <= 0x9f;
}

// The code point at text[i] and its length in bytes (1 for a byte that starts none).
char32_t codePointAt(std::string_view text, size_t i, size_t *length)
{
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t extra = c >= 0xf0 ? 3 : c >= 0xe0 ? 2 : c >= 0xc0 ? 1 : 0;
    *length = 1;
    if (extra == 0 || i + extra >= text.size())
        return c;
    char32_t cp = c & (0x3f >> extra);
    for (size_t k = 1; k <= extra; ++k) {
        const unsigned char next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xc0) != 0x80)
            return c;
        cp = (cp << 6) | (next & 0x3f);
    }
    *length = extra + 1;
    return cp;
}

bool isWide(char32_t cp)
{
    return (cp >= 0x1100 && cp <= 0x115f) || (cp >= 0x2e80 && cp <= 0xa4cf && cp != 0x303f) ||
           (cp >= 0xac00 && cp <= 0xd7a3) || (cp >= 0xf900 && cp <= 0xfaff) ||
           (cp >= 0xfe30 && cp <= 0xfe4f) || (cp >= 0xff00 && cp <= 0xff60) ||
           (cp >= 0xffe0 && cp <= 0xffe6) || (cp >= 0x1f300 && cp <= 0x1f64f) ||
           (cp >= 0x1f900 && cp <= 0x1f9ff) || (cp >= 0x20000 && cp <= 0x3fffd);
}

bool isCombining(char32_t cp)
{
    return (cp >= 0x0300 && cp <= 0x036f) || (cp >= 0x200b && cp <= 0x200f) ||
           (cp >= 0xfe00 && cp <= 0xfe0f);
}

} // namespace

size_t displayWidth(std::string_view text)
{
    size_t width = 0;
    for (size_t i = 0, length = 1; i < text.size(); i += length) {
        const char32_t cp = codePointAt(text, i, &length);
        width += isWide(cp) ? 2 : isCombining(cp) ? 0 : 1;
    }
    return width;
}

bool needsEscaping(std::string_view text)
{
    for (size_t i = 0; i < text.size(); ++i) {
        if (isC0OrDelete(static_cast<unsigned char>(text[i])) || isC1At(text, i))
            return true;
    }
    return false;
}

void appendEscaped(std::string &out, std::string_view text, Escapes escapes)
{
    size_t run = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const bool c1 = isC1At(text, i);
        if (!c1 && !isC0OrDelete(c))
            continue;
        if (escapes == Escapes::Csv && c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        out.append(text.data() + run, i - run);
        char escape[8];
        const unsigned code = c1 ? static_cast<unsigned char>(text[i + 1]) : c;
        if (escapes == Escapes::Json || c1)
            std::snprintf(escape, sizeof escape, "\\u%04x", code);
        else if (c == 0x1b)
            std::snprintf(escape, sizeof escape, "\\e");
        else if (c == '\r')
            std::snprintf(escape, sizeof escape, "\\r");
        else
            std::snprintf(escape, sizeof escape, "\\x%02x", code);
        out += escape;
        i += c1 ? 1 : 0;
        run = i + 1;
    }
    out.append(text.data() + run, text.size() - run);
}

void escapeFrom(std::string &out, size_t from, Escapes escapes)
{
    const std::string_view added = std::string_view(out).substr(from);
    if (!needsEscaping(added))
        return;
    const std::string copy(added);
    out.resize(from);
    appendEscaped(out, copy, escapes);
}

} // namespace TallyLog
