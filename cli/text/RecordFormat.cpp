#include "text/RecordFormat.h"

#include "DayExport.h"
#include "text/Fields.h"
#include "text/TerminalText.h"

#include <cstdio>

namespace TallyLog {

using SystemLog::kCategoryCount;

namespace {

// ANSI select-graphic-rendition sequences of the coloured text format.
const char kDim[] = "\x1b[2m";
const char kRed[] = "\x1b[31m";
const char kReset[] = "\x1b[0m";

} // namespace

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

bool parseFormat(const QString &text, Format *format)
{
    if (text == QLatin1String("text"))
        *format = Format::Text;
    else if (text == QLatin1String("csv"))
        *format = Format::Csv;
    else if (text == QLatin1String("json"))
        *format = Format::Json;
    else
        return false;
    return true;
}

RecordFormatter::RecordFormatter(Format format, bool showCategory, TextStyle style)
    : m_format(format), m_showCategory(showCategory), m_style(style)
{
    for (int type = 0; type < kCategoryCount; ++type)
        m_names.append(SystemLog::categoryName(type).toUtf8());
}

void RecordFormatter::appendStart(std::string &out) const
{
    if (m_format == Format::Csv)
        out += "\xef\xbb\xbfid,datetime,type,category,message\r\n";
}

// Text that other programs stored may not be valid UTF-8; each byte that starts no valid
// sequence becomes U+FFFD, as the window shows it, so that every output is valid UTF-8. The rest
// stays as stored, a byte order mark at the start too (QString::fromUtf8 would drop it).
std::string_view RecordFormatter::clean(std::string_view text, std::string &scratch) const
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

void RecordFormatter::appendCategory(std::string &out, const SystemLog::LogRecordView &record) const
{
    if (record.type.isCategory()) {
        const QByteArray &name = m_names.at(static_cast<int>(record.type.integer));
        out.append(name.constData(), static_cast<size_t>(name.size()));
    }
}

// The stored type as it is: a number as a number, a text or a blob as a (JSON) string.
void RecordFormatter::appendType(std::string &out, const SystemLog::StoredType &type,
                                 bool quoteText)
{
    using Kind = SystemLog::StoredType::Kind;
    switch (type.kind) {
    case Kind::Integer:
        appendNumber(out, type.integer);
        break;
    case Kind::Real:
        // SQLite writes an infinity as "Inf" or "-Inf", which JSON has no number for.
        if (quoteText && type.text.find_first_not_of("0123456789+-.e") != std::string_view::npos)
            appendJsonString(out, type.text);
        else
            out.append(type.text);
        break;
    case Kind::Text:
    case Kind::Blob:
        if (quoteText)
            appendJsonString(out, clean(type.text, m_typeScratch));
        else if (m_format == Format::Csv)
            appendCsvField(out, clean(type.text, m_typeScratch));
        else
            out.append(clean(type.text, m_typeScratch));
        break;
    case Kind::Null:
        out += quoteText ? "null" : (m_format == Format::Csv ? "" : "null");
        break;
    }
}

QString storedTypeText(const SystemLog::StoredType &type)
{
    using Kind = SystemLog::StoredType::Kind;
    switch (type.kind) {
    case Kind::Integer:
        return QString::number(type.integer);
    case Kind::Null:
        return QStringLiteral("null");
    default:
        return QString::fromUtf8(type.text.data(), static_cast<int>(type.text.size()));
    }
}

void RecordFormatter::appendTextField(std::string &out, std::string_view text,
                                      std::string &scratch) const
{
    switch (m_style.bytes) {
    case TextStyle::Bytes::Raw:
        out.append(text);
        break;
    case TextStyle::Bytes::Decoded:
        out.append(clean(text, scratch));
        break;
    case TextStyle::Bytes::Escaped:
        appendEscaped(out, clean(text, scratch));
        break;
    }
}

// The text form with escaping or colour; the plain one is written by appendRecord.
void RecordFormatter::appendText(std::string &out, const SystemLog::LogRecordView &record)
{
    const bool alarm = m_style.colour && record.type.isCategory() &&
                       record.type.integer == SystemLog::LogType::Alarm;
    if (m_style.colour)
        out += kDim;
    appendTextField(out, record.datetime, m_stampScratch);
    if (m_style.colour)
        out += kReset;
    if (m_showCategory) {
        out += " [";
        if (alarm)
            out += kRed;
        if (record.type.isCategory()) {
            appendCategory(out, record);
        } else {
            // A type another program stored may be any text: shown as its messages are.
            std::string type = "type ";
            appendType(type, record.type, false);
            if (m_style.bytes == TextStyle::Bytes::Escaped)
                appendEscaped(out, type);
            else
                out += type;
        }
        if (alarm)
            out += kReset;
        out += ']';
    }
    out += ":\n";
    if (alarm)
        out += kRed;
    appendTextField(out, record.message, m_messageScratch);
    if (alarm)
        out += kReset;
    out += '\n';
}

void RecordFormatter::appendRecord(std::string &out, const SystemLog::LogRecordView &record)
{
    if (m_format == Format::Text &&
        (m_style.colour || m_style.bytes != TextStyle::Bytes::Decoded)) {
        appendText(out, record);
        return;
    }
    const std::string_view stamp = clean(record.datetime, m_stampScratch);
    const std::string_view message = clean(record.message, m_messageScratch);
    const bool known = record.type.isCategory();
    switch (m_format) {
    case Format::Text:
        if (!m_showCategory) {
            // One category: each record exactly as the window's export file holds it.
            SystemLog::DayExport::appendRecord(out, stamp, message);
            break;
        }
        out.append(stamp);
        out += " [";
        if (known) {
            appendCategory(out, record);
        } else {
            out += "type ";
            appendType(out, record.type, false);
        }
        out += "]:\n";
        out.append(message);
        out += '\n';
        break;
    case Format::Csv:
        appendNumber(out, record.id);
        out += ',';
        appendCsvField(out, stamp);
        out += ',';
        appendType(out, record.type, false);
        out += ',';
        appendCategory(out, record);
        out += ',';
        appendCsvField(out, message);
        out += "\r\n";
        break;
    case Format::Json:
        out += "{\"id\":";
        appendNumber(out, record.id);
        out += ",\"datetime\":";
        appendJsonString(out, stamp);
        out += ",\"type\":";
        appendType(out, record.type, true);
        out += ",\"category\":";
        if (known) {
            out += '"';
            appendCategory(out, record);
            out += '"';
        } else {
            out += "null";
        }
        out += ",\"message\":";
        appendJsonString(out, message);
        out += "}\n";
        break;
    }
}

} // namespace TallyLog
