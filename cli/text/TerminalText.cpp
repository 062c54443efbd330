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

} // namespace

bool needsEscaping(std::string_view text)
{
    for (size_t i = 0; i < text.size(); ++i) {
        if (isC0OrDelete(static_cast<unsigned char>(text[i])) || isC1At(text, i))
            return true;
    }
    return false;
}

void appendEscaped(std::string &out, std::string_view text)
{
    size_t run = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const bool c1 = isC1At(text, i);
        if (!c1 && !isC0OrDelete(c))
            continue;
        out.append(text.data() + run, i - run);
        char escape[8];
        if (c == 0x1b) {
            out += "\\e";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c1) {
            std::snprintf(escape, sizeof escape, "\\u%04x",
                          static_cast<unsigned>(static_cast<unsigned char>(text[i + 1])));
            out += escape;
            ++i;
        } else {
            std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned>(c));
            out += escape;
        }
        run = i + 1;
    }
    out.append(text.data() + run, text.size() - run);
}

} // namespace TallyLog
