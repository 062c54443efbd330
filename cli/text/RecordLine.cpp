// The one-line text form of a record: "stamp category message". A message of several lines goes
// on over lines indented by the width of "stamp category ", so that only a record starts a line
// at the left margin: no message can pass for a record, and grep keeps every record's stamp.

#include "text/Fields.h"
#include "text/RecordFormat.h"
#include "text/TerminalText.h"

namespace TallyLog {

// A stamp or a type as the style writes it, with a line feed in it shown as \n, since it would
// start a line of its own; returns the columns it takes.
size_t RecordFormatter::appendLineField(std::string &out, std::string_view text,
                                        std::string &scratch) const
{
    const size_t start = out.size();
    appendTextField(out, text, scratch);
    for (size_t at = out.find('\n', start); at != std::string::npos; at = out.find('\n', at))
        out.replace(at, 1, "\\n");
    return displayWidth(std::string_view(out).substr(start));
}

// The message as the style writes it, each line after the first indented by `indent` columns
// (an empty one left empty).
void RecordFormatter::appendLineMessage(std::string &out, std::string_view message,
                                        size_t indent) const
{
    size_t run = 0;
    for (size_t at = message.find('\n'); at != std::string_view::npos;
         at = message.find('\n', run)) {
        out.append(message.data() + run, at + 1 - run);
        if (at + 1 < message.size() && message[at + 1] != '\n')
            out.append(indent, ' ');
        run = at + 1;
    }
    out.append(message.data() + run, message.size() - run);
}

void RecordFormatter::appendLine(std::string &out, const SystemLog::LogRecordView &record)
{
    const bool alarm = m_style.colour && record.type.isCategory() &&
                       record.type.integer == SystemLog::LogType::Alarm;
    if (m_style.colour)
        out += kSgrDim;
    size_t width = appendLineField(out, record.datetime, m_stampScratch);
    if (m_style.colour)
        out += kSgrReset;
    out += ' ';
    if (alarm)
        out += kSgrRed;
    if (record.type.isCategory()) {
        appendCategory(out, record);
        width += static_cast<size_t>(m_nameWidths.at(static_cast<int>(record.type.integer)));
    } else {
        // A type another program stored may be any text: shown as its messages are.
        std::string type = "[type ";
        appendType(type, record.type, false);
        type += ']';
        width += appendLineField(out, type, m_lineScratch);
    }
    out += ' ';
    std::string_view message = record.message;
    if (m_style.bytes != TextStyle::Bytes::Raw)
        message = validUtf8(message, m_messageScratch);
    if (m_style.bytes == TextStyle::Bytes::Escaped && needsEscaping(message)) {
        m_lineScratch.clear();
        appendEscaped(m_lineScratch, message);
        message = m_lineScratch;
    }
    appendLineMessage(out, message, width + 2);
    if (alarm)
        out += kSgrReset;
    out += '\n';
}

} // namespace TallyLog
