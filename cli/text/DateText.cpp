#include "text/DateText.h"

#include <QTime>

namespace TallyLog {

namespace {

// The number written in ASCII digits at text[at, at + count), or -1.
int digitsAt(std::string_view text, size_t at, size_t count)
{
    int value = 0;
    for (size_t i = at; i < at + count; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

bool readDayFields(std::string_view text, StampFields *fields)
{
    if (text.size() < 10 || text[4] != '-' || text[7] != '-')
        return false;
    fields->year = digitsAt(text, 0, 4);
    fields->month = digitsAt(text, 5, 2);
    fields->day = digitsAt(text, 8, 2);
    return fields->year >= 0 && fields->month >= 0 && fields->day >= 0;
}

// Command-line texts are short: their Latin-1 bytes are read (anything beyond Latin-1 is no
// digit and no separator either).
QByteArray bytesOf(const QString &text)
{
    return text.toLatin1();
}

std::string_view viewOf(const QByteArray &bytes)
{
    return std::string_view(bytes.constData(), static_cast<size_t>(bytes.size()));
}

} // namespace

bool readStampFields(std::string_view text, StampFields *fields)
{
    if (text.size() != 19 || !readDayFields(text, fields) || text[10] != ' ' || text[13] != ':' ||
        text[16] != ':')
        return false;
    fields->hour = digitsAt(text, 11, 2);
    fields->minute = digitsAt(text, 14, 2);
    fields->second = digitsAt(text, 17, 2);
    return fields->hour >= 0 && fields->minute >= 0 && fields->second >= 0;
}

QDate dayFromText(const QString &text)
{
    const QByteArray bytes = bytesOf(text);
    StampFields f;
    if (bytes.size() != 10 || !readDayFields(viewOf(bytes), &f))
        return QDate();
    return QDate(f.year, f.month, f.day);
}

bool isDay(const QString &text)
{
    return dayFromText(text).isValid();
}

QDateTime momentFromText(const QString &text)
{
    const QByteArray bytes = bytesOf(text);
    StampFields f;
    if (!readStampFields(viewOf(bytes), &f))
        return QDateTime();
    const QDate day(f.year, f.month, f.day);
    if (!day.isValid() || !QTime::isValid(f.hour, f.minute, f.second))
        return QDateTime();
    return QDateTime(day, QTime(f.hour, f.minute, f.second));
}

bool isMoment(const QString &text)
{
    const QByteArray bytes = bytesOf(text);
    StampFields f;
    return readStampFields(viewOf(bytes), &f) && QDate::isValid(f.year, f.month, f.day) &&
           QTime::isValid(f.hour, f.minute, f.second);
}

bool hasFourDigitYear(const QDate &day)
{
    return day.isValid() && day.year() >= 1 && day.year() <= 9999;
}

QString dayText(const QDate &day)
{
    return QString::asprintf("%04d-%02d-%02d", day.year(), day.month(), day.day());
}

QString stampText(const QDateTime &moment)
{
    const QDate day = moment.date();
    const QTime time = moment.time();
    return dayText(day) +
           QString::asprintf(" %02d:%02d:%02d", time.hour(), time.minute(), time.second());
}

} // namespace TallyLog
