#include "forward/ForwardEncoding.h"

#include "LogTypes.h"
#include "text/DateText.h"
#include "text/Fields.h"

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QTime>

#include <ctime>

namespace TallyLog {

namespace {

// Minutes remembered by a StampClock before it starts over (a log spans far fewer).
constexpr int kMaxMinutes = 1 << 16;
// Syslog facility local0.
constexpr int kFacilityLocal0 = 16;
// RFC 5424 limits HOSTNAME to 255 and APP-NAME to 48 printable ASCII characters.
constexpr int kMaxHostname = 255;
constexpr int kMaxAppName = 48;

// Local time minus UTC at the moment `utcSecs`, from the C library as QDateTime has it, but
// without the tzset() that QDateTime calls every time, which looks at the zone file again (the
// process reads its zone once, when the first stamp is converted).
int localOffsetAt(qint64 utcSecs)
{
    const time_t at = static_cast<time_t>(utcSecs);
    tm local{};
    if (!localtime_r(&at, &local))
        return QDateTime::fromSecsSinceEpoch(utcSecs, Qt::LocalTime).offsetFromUtc();
    return static_cast<int>(local.tm_gmtoff);
}

// The UTC offset of a local wall-clock time (as seconds since the epoch read as if in UTC). Where
// the clock was put back and the time came twice, the second of them, as forwarders did before:
// the offset after the change. Where it was put forward and the time never came (a stamp of a
// writer whose zone was set differently, or whose clock was changed by hand), the offset before
// the change: 02:30 in the hour that Berlin skips is 02:30+01:00 (01:30 UTC), as if the change
// had not yet been made. Both encodings take the stamp this way: the same moment to the journal
// and to syslog.
int offsetOfWallClock(qint64 wallSecs)
{
    // Zones change their offsets a few times a year at most: the offsets a day before and a day
    // after are the only ones that can hold here.
    constexpr qint64 kDay = 24 * 3600;
    const int before = localOffsetAt(wallSecs - kDay);
    const int after = localOffsetAt(wallSecs + kDay);
    if (localOffsetAt(wallSecs - after) == after)
        return after;
    return before;
}

bool needsBinaryField(std::string_view value)
{
    for (const char c : value) {
        if (static_cast<unsigned char>(c) < 0x20)
            return true;
    }
    return false;
}

// NAME=value and a newline, or for a value with control characters NAME, a newline, the
// value's size as 64-bit little endian, the value and a newline.
void appendJournalField(std::string &out, std::string_view name, std::string_view value)
{
    out.append(name);
    if (!needsBinaryField(value)) {
        out += '=';
        out.append(value);
        out += '\n';
        return;
    }
    out += '\n';
    quint64 size = value.size();
    for (int i = 0; i < 8; ++i, size >>= 8)
        out += static_cast<char>(size & 0xff);
    out.append(value);
    out += '\n';
}

void appendJournalNumber(std::string &out, std::string_view name, qint64 n)
{
    out.append(name);
    out += '=';
    appendNumber(out, n);
    out += '\n';
}

// Printable ASCII only (a syslog HOSTNAME or APP-NAME); "-" (the nil value) for nothing.
QByteArray syslogName(const QByteArray &name, int maxSize)
{
    QByteArray out = name.left(maxSize);
    for (char &c : out) {
        if (c < 33 || c > 126)
            c = '_';
    }
    return out.isEmpty() ? QByteArray("-") : out;
}

// A PARAM-VALUE: valid UTF-8 with '"', '\' and ']' escaped.
void appendSdValue(std::string &out, std::string_view value)
{
    QByteArray repaired;
    if (!isValidUtf8(value)) {
        repaired = QString::fromUtf8(value.data(), static_cast<int>(value.size())).toUtf8();
        value = std::string_view(repaired.constData(), static_cast<size_t>(repaired.size()));
    }
    out += '"';
    for (const char c : value) {
        if (c == '"' || c == '\\' || c == ']')
            out += '\\';
        out += c;
    }
    out += '"';
}

} // namespace

const char kSyslogSdId[] = "tallyview@32473";

int severityOfType(qint64 type)
{
    switch (type) {
    case SystemLog::Alarm:
        return 3;
    case SystemLog::ParameterChange:
    case SystemLog::UserAction:
        return 5;
    default:
        return 6;
    }
}

ForwardedType forwardedType(const SystemLog::LogRecordView &record, std::string &scratch)
{
    using Kind = SystemLog::StoredType::Kind;
    const SystemLog::StoredType &stored = record.type;
    ForwardedType type;
    if (stored.kind == Kind::Null)
        return type;
    type.present = true;
    if (stored.kind != Kind::Integer) {
        type.text = stored.text;
        return type;
    }
    scratch.clear();
    appendNumber(scratch, stored.integer);
    type.text = scratch;
    type.category = stored.isCategory() ? static_cast<int>(stored.integer) : -1;
    return type;
}

bool StampClock::lookUp(std::string_view stamp, Minute *minute, int *second)
{
    StampFields fields;
    if (!readStampFields(stamp, &fields) || fields.second > 59)
        return false;
    *second = fields.second;
    const QByteArray key = QByteArray::fromRawData(stamp.data(), 16);
    if (!m_lastKey.isEmpty() && key == m_lastKey) {
        *minute = m_last;
        return true;
    }
    const auto known = m_minutes.constFind(key);
    if (known != m_minutes.constEnd()) {
        *minute = m_last = known.value();
        m_lastKey = QByteArray(stamp.data(), 16);
        return true;
    }
    const QDate date(fields.year, fields.month, fields.day);
    const QTime time(fields.hour, fields.minute);
    if (!date.isValid() || !time.isValid())
        return false;
    Minute found;
    found.offsetSecs = offsetOfWallClock(QDateTime(date, time, Qt::UTC).toSecsSinceEpoch());
    found.startSecs = QDateTime(date, time, Qt::UTC).toSecsSinceEpoch() - found.offsetSecs;
    if (m_minutes.size() >= kMaxMinutes)
        m_minutes.clear();
    m_lastKey = QByteArray(stamp.data(), 16);
    m_minutes.insert(m_lastKey, found);
    *minute = m_last = found;
    return true;
}

bool StampClock::toMicros(std::string_view stamp, qint64 *micros)
{
    Minute minute;
    int second = 0;
    if (!lookUp(stamp, &minute, &second))
        return false;
    *micros = (minute.startSecs + second) * 1000000;
    return true;
}

bool StampClock::toRfc3339(std::string_view stamp, std::string &out)
{
    Minute minute;
    int second = 0;
    if (!lookUp(stamp, &minute, &second))
        return false;
    out.append(stamp.substr(0, 10));
    out += 'T';
    out.append(stamp.substr(11));
    const int offset = minute.offsetSecs;
    const int minutes = (offset < 0 ? -offset : offset) / 60;
    char zone[8];
    zone[0] = offset < 0 ? '-' : '+';
    zone[1] = static_cast<char>('0' + minutes / 600);
    zone[2] = static_cast<char>('0' + minutes / 60 % 10);
    zone[3] = ':';
    zone[4] = static_cast<char>('0' + minutes % 60 / 10);
    zone[5] = static_cast<char>('0' + minutes % 10);
    out.append(zone, 6);
    return true;
}

JournalExportEncoder::JournalExportEncoder(ForwardIdentity identity)
    : m_identity(std::move(identity)), m_categoryNames(categoryNamesUtf8())
{
}

void JournalExportEncoder::append(std::string &out, const SystemLog::LogRecordView &record)
{
    const auto view = [](const QByteArray &bytes) {
        return std::string_view(bytes.constData(), static_cast<size_t>(bytes.size()));
    };
    // A stamp that is no valid moment leaves the time to the receiver.
    qint64 micros = 0;
    if (m_clock.toMicros(record.datetime, &micros))
        appendJournalNumber(out, "__REALTIME_TIMESTAMP", micros);
    const ForwardedType type = forwardedType(record, m_scratch);
    appendJournalField(out, "_HOSTNAME", view(m_identity.hostname));
    appendJournalNumber(out, "PRIORITY", severityOfType(type.category));
    appendJournalField(out, "SYSLOG_IDENTIFIER", view(m_identity.identifier));
    appendJournalNumber(out, "TALLYVIEW_ID", record.id);
    if (type.present)
        appendJournalField(out, "TALLYVIEW_TYPE", type.text);
    if (type.category >= 0)
        appendJournalField(out, "TALLYVIEW_CATEGORY", view(m_categoryNames.at(type.category)));
    appendJournalField(out, "MESSAGE", record.message);
    out += '\n';
}

SyslogEncoder::SyslogEncoder(const ForwardIdentity &identity)
    : m_hostname(syslogName(identity.hostname, kMaxHostname)),
      m_appName(syslogName(identity.identifier, kMaxAppName)), m_categoryNames(categoryNamesUtf8())
{
}

void SyslogEncoder::append(std::string &out, const SystemLog::LogRecordView &record)
{
    const ForwardedType type = forwardedType(record, m_scratch);
    std::string &m = m_message;
    m.clear();
    m += '<';
    appendNumber(m, kFacilityLocal0 * 8 + severityOfType(type.category));
    m += ">1 ";
    if (!m_clock.toRfc3339(record.datetime, m))
        m += '-';
    m += ' ';
    m.append(m_hostname.constData(), static_cast<size_t>(m_hostname.size()));
    m += ' ';
    m.append(m_appName.constData(), static_cast<size_t>(m_appName.size()));
    m += " - - [";
    m += kSyslogSdId;
    m += " id=\"";
    appendNumber(m, record.id);
    m += '"';
    if (type.present) {
        m += " type=";
        appendSdValue(m, type.text);
    }
    if (type.category >= 0) {
        const QByteArray &name = m_categoryNames.at(type.category);
        m += " category=";
        appendSdValue(m, std::string_view(name.constData(), static_cast<size_t>(name.size())));
    }
    m += "] ";
    if (isValidUtf8(record.message))
        m += "\xEF\xBB\xBF";
    m.append(record.message);

    appendNumber(out, static_cast<qint64>(m.size()));
    out += ' ';
    out += m;
}

} // namespace TallyLog
