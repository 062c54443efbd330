#pragma once

// How tallylog writes records: one line each (text), as the window shows them (window), as CSV or
// as JSON Lines. Records are appended to a byte buffer that the caller writes out in large pieces.

#include "read/LogReader.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <string>
#include <string_view>

namespace TallyLog {

enum class Format
{
    Text,   // "stamp category message", continuation lines indented under the message
    Window, // "stamp:" on one line, the message below, as the window lists and exports them
    Csv,
    Json,
};

// "text", "window", "csv" or "json"; false for anything else.
bool parseFormat(const QString &text, Format *format);

// How the text and window formats write stamps and messages; csv and json escape by their own
// rules and take only `terminal`.
struct TextStyle
{
    enum class Bytes
    {
        Decoded, // as the window shows them: invalid UTF-8 as U+FFFD, everything else as stored
        Escaped, // decoded, and control characters other than LF and TAB escaped (\e, \r, \x07)
        Raw,     // the bytes as stored
    };
    Bytes bytes = Bytes::Decoded;
    bool colour = false; // alarms (报警记录) in red, stamps dimmed, with ANSI escape sequences
    // Written to a terminal: csv and json too escape the control characters of stored texts, and
    // csv decodes them as UTF-8 (through a pipe it writes them as stored).
    bool terminal = false;
    bool bom = false; // csv: a UTF-8 byte order mark before the header
};

class RecordFormatter
{
public:
    // `showCategory`: the window form names the category after the stamp ("... [报警记录]:"); the
    // text form always names it.
    RecordFormatter(Format format, bool showCategory, TextStyle style = TextStyle());

    // What comes before the first record: for CSV the header line, after a UTF-8 byte order mark
    // when the style asks for one (so that spreadsheet programs take the text as UTF-8).
    void appendStart(std::string &out) const;
    void appendRecord(std::string &out, const SystemLog::LogRecordView &record);

private:
    void appendCategory(std::string &out, const SystemLog::LogRecordView &record) const;
    void appendType(std::string &out, const SystemLog::StoredType &type, bool quoteText);
    void appendText(std::string &out, const SystemLog::LogRecordView &record);
    void appendLine(std::string &out, const SystemLog::LogRecordView &record);
    void appendLineMessage(std::string &out, std::string_view message, size_t indent) const;
    size_t appendLineField(std::string &out, std::string_view text, std::string &scratch) const;
    void appendJson(std::string &out, const SystemLog::LogRecordView &record,
                    std::string_view stamp, std::string_view message);
    void appendTextField(std::string &out, std::string_view text, std::string &scratch) const;

    Format m_format;
    bool m_showCategory;
    TextStyle m_style;
    QVector<QByteArray> m_names;
    QVector<int> m_nameWidths; // in terminal columns
    std::string m_stampScratch;
    std::string m_messageScratch;
    std::string m_typeScratch;
    std::string m_lineScratch;
};

// A stored type as text: the number, SQLite's text of a real, the text itself (decoded as
// UTF-8) or "null".
QString storedTypeText(const SystemLog::StoredType &type);

} // namespace TallyLog
