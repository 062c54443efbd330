#include "text/Fields.h"

#include <charconv>
#include <cstdio>

namespace TallyLog {

void appendJsonString(std::string &out, std::string_view text)
{
    out += '"';
    size_t run = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\')
            continue;
        out.append(text.data() + run, i - run);
        run = i + 1;
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default: {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        }
        }
    }
    out.append(text.data() + run, text.size() - run);
    out += '"';
}

void appendCsvField(std::string &out, std::string_view text)
{
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        out.append(text);
        return;
    }
    out += '"';
    size_t run = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '"')
            continue;
        out.append(text.data() + run, i + 1 - run);
        out += '"';
        run = i + 1;
    }
    out.append(text.data() + run, text.size() - run);
    out += '"';
}

void appendNumber(std::string &out, qint64 n)
{
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
    out.append(digits, static_cast<size_t>(end - digits));
}

} // namespace TallyLog
