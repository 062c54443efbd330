#include "text/RecordFormat.h"

#include "DayExport.h"
#include "text/Fields.h"
#include "text/TerminalText.h"

namespace TallyLog {

namespace {

const char *const kDim = kSgrDim;
const char *const kRed = kSgrRed;
const char *const kReset = kSgrReset;

} // namespace

bool parseFormat(const QString &text, Format *format)
{
    if (text == QLatin1String("text"))
        *format = Format::Text;
    else if (text == QLatin1String("window"))
        *format = Format::Window;
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
    m_names = categoryNamesUtf8();
    for (const QByteArray &name : m_names)
        m_nameWidths << static_cast<int>(
            displayWidth(std::string_view(name.constData(), static_cast<size_t>(name.size()))));
}

void RecordFormatter::appendStart(std::string &out) const
{
    if (m_format == Format::Csv && m_style.bom)
        out += "\xef\xbb\xbf";
    if (m_format == Format::Csv)
        out += "id,datetime,type,category,message\r\n";
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
        if (quoteText)
            appendJsonReal(out, type.text);
        else
            out.append(type.text);
        break;
    case Kind::Text:
    case Kind::Blob:
        if (quoteText)
            appendJsonString(out, validUtf8(type.text, m_typeScratch));
        else if (m_format == Format::Csv)
            appendCsvField(out, m_style.terminal ? validUtf8(type.text, m_typeScratch) : type.text);
        else
            out.append(validUtf8(type.text, m_typeScratch));
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
        out.append(validUtf8(text, scratch));
        break;
    case TextStyle::Bytes::Escaped:
        appendEscaped(out, validUtf8(text, scratch));
        break;
    }
}

// The window form with escaping or colour; the plain one is written by appendRecord.
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
    if (m_format == Format::Text) {
        appendLine(out, record);
        return;
    }
    if (m_format == Format::Window &&
        (m_style.colour || m_style.bytes != TextStyle::Bytes::Decoded)) {
        appendText(out, record);
        return;
    }
    // CSV through a pipe goes out as stored; JSON cannot carry bytes that are not UTF-8.
    const bool asStored = m_format == Format::Csv && !m_style.terminal;
    const std::string_view stamp =
        asStored ? record.datetime : validUtf8(record.datetime, m_stampScratch);
    const std::string_view message =
        asStored ? record.message : validUtf8(record.message, m_messageScratch);
    const size_t start = out.size();
    switch (m_format) {
    case Format::Text:
        break;
    case Format::Window:
        if (!m_showCategory) {
            // One category: each record exactly as the window's export file holds it.
            SystemLog::DayExport::appendRecord(out, stamp, message);
            break;
        }
        out.append(stamp);
        out += " [";
        if (record.type.isCategory()) {
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
        appendJson(out, record, stamp, message);
        break;
    }
    // On a terminal no stored text may pass a control character to it.
    if (m_style.terminal && (m_format == Format::Csv || m_format == Format::Json))
        escapeFrom(out, start, m_format == Format::Csv ? Escapes::Csv : Escapes::Json);
}

void RecordFormatter::appendJson(std::string &out, const SystemLog::LogRecordView &record,
                                 std::string_view stamp, std::string_view message)
{
    out += "{\"id\":";
    appendNumber(out, record.id);
    out += ",\"datetime\":";
    appendJsonString(out, stamp);
    out += ",\"type\":";
    appendType(out, record.type, true);
    out += ",\"category\":";
    if (record.type.isCategory()) {
        out += '"';
        appendCategory(out, record);
        out += '"';
    } else {
        out += "null";
    }
    out += ",\"message\":";
    appendJsonString(out, message);
    out += "}\n";
}

} // namespace TallyLog
