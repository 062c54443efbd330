#include "text/Fields.h"

#include "LogTypes.h"

#include <charconv>
#include <cstdio>

namespace TallyLog {

namespace {

// The length of the valid UTF-8 sequence at s[i] (no overlong forms, no surrogates, nothing above
// U+10FFFF); 0 when none starts there.
size_t validSequenceAt(const unsigned char *s, size_t n, size_t i)
{
    const unsigned char c = s[i];
    if (c < 0x80)
        return 1;
    size_t extra;
    unsigned min;
    unsigned cp;
    if (c >= 0xc2 && c <= 0xdf) {
        extra = 1;
        min = 0x80;
        cp = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
        extra = 2;
        min = 0x800;
        cp = c & 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        extra = 3;
        min = 0x10000;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (n - i <= extra)
        return 0;
    for (size_t k = 1; k <= extra; ++k) {
        if ((s[i + k] & 0xc0) != 0x80)
            return 0;
        cp = (cp << 6) | (s[i + k] & 0x3f);
    }
    if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
        return 0;
    return extra + 1;
}

} // namespace

bool isValidUtf8(std::string_view text)
{
    const auto *s = reinterpret_cast<const unsigned char *>(text.data());
    for (size_t i = 0, length; i < text.size(); i += length) {
        if ((length = validSequenceAt(s, text.size(), i)) == 0)
            return false;
    }
    return true;
}

std::string_view validUtf8(std::string_view text, std::string &scratch)
{
    if (isValidUtf8(text))
        return text;
    const auto *s = reinterpret_cast<const unsigned char *>(text.data());
    scratch.clear();
    for (size_t i = 0; i < text.size();) {
        const size_t length = validSequenceAt(s, text.size(), i);
        if (length == 0)
            scratch += "\xef\xbf\xbd";
        else
            scratch.append(text.data() + i, length);
        i += length == 0 ? 1 : length;
    }
    return scratch;
}

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

void appendJsonReal(std::string &out, std::string_view text)
{
    if (text.find_first_not_of("0123456789+-.e") != std::string_view::npos)
        appendJsonString(out, text);
    else
        out.append(text);
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

QVector<QByteArray> categoryNamesUtf8()
{
    QVector<QByteArray> names;
    for (int type = 0; type < SystemLog::kCategoryCount; ++type)
        names << SystemLog::categoryName(type).toUtf8();
    return names;
}

} // namespace TallyLog
