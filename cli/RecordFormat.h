#pragma once

// How tallylog writes records: as the window shows them (text), as CSV or as JSON Lines. Records
// are appended to a byte buffer that the caller writes out in large pieces.

#include "LogReader.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <string>
#include <string_view>

namespace TallyLog {

enum class Format
{
    Text,
    Csv,
    Json,
};

// "text", "csv" or "json"; false for anything else.
bool parseFormat(const QString &text, Format *format);

class RecordFormatter
{
public:
    // `showCategory`: the text form names the category after the stamp ("... [报警记录]:").
    RecordFormatter(Format format, bool showCategory);

    // What comes before the first record: for CSV a UTF-8 byte order mark (so that spreadsheet
    // programs take the file as UTF-8) and the header line.
    void appendStart(std::string &out) const;
    void appendRecord(std::string &out, const SystemLog::LogRecordView &record);

private:
    void appendCategory(std::string &out, const SystemLog::LogRecordView &record) const;
    void appendType(std::string &out, const SystemLog::StoredType &type, bool quoteText);
    std::string_view clean(std::string_view text, std::string &scratch) const;

    Format m_format;
    bool m_showCategory;
    QVector<QByteArray> m_names;
    std::string m_stampScratch;
    std::string m_messageScratch;
    std::string m_typeScratch;
};

// A stored type as text: the number, SQLite's text of a real, the text itself (decoded as
// UTF-8) or "null".
QString storedTypeText(const SystemLog::StoredType &type);

// Text that is valid UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool isValidUtf8(std::string_view text);

} // namespace TallyLog
