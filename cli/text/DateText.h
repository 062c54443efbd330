#pragma once

// The day and moment texts of the log, "yyyy-MM-dd" and "yyyy-MM-dd hh:mm:ss", read and written
// in one place for every command. Read by hand rather than through QDate::fromString or a
// pattern: each of those sets up a locale or compiles a pattern, which costs a short listing more
// than its query.

#include <QDate>
#include <QDateTime>
#include <QString>

#include <string_view>

namespace TallyLog {

// The fields of a stamp "yyyy-MM-dd hh:mm:ss" as written (not checked against the calendar).
struct StampFields
{
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};
// Whether `text` has the shape of a stamp, every field in ASCII digits; *fields gets them.
bool readStampFields(std::string_view text, StampFields *fields);

// A day "yyyy-MM-dd" that exists; a moment "yyyy-MM-dd hh:mm:ss" that exists.
bool isDay(const QString &text);
bool isMoment(const QString &text);
// The day of a text "yyyy-MM-dd"; invalid when it is none.
QDate dayFromText(const QString &text);
// The local moment of a stamp; invalid when it is none.
QDateTime momentFromText(const QString &text);
// Years 1 to 9999: a stamp of any other year would not compare with the stored ones as text.
bool hasFourDigitYear(const QDate &day);
// "yyyy-MM-dd" and "yyyy-MM-dd hh:mm:ss".
QString dayText(const QDate &day);
QString stampText(const QDateTime &moment);

} // namespace TallyLog
