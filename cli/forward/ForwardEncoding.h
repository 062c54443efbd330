#pragma once

// How `tallylog forward` writes records for a central log: as entries of the systemd Journal
// Export Format (for systemd-journal-remote) or as RFC 5424 syslog messages framed by octet
// counting (RFC 6587, for rsyslog, syslog-ng and the usual shippers). Records are appended to a
// byte buffer that is sent as one batch.

#include "read/LogReader.h"

#include <QByteArray>
#include <QHash>
#include <QVector>

#include <string>
#include <string_view>

namespace TallyLog {

// The syslog severity of a stored type: alarms are errors (3), parameter changes and user
// actions notices (5), everything else, numbers outside the categories included, informational (6).
int severityOfType(qint64 type);

// The record's type as stored: its text (a number as decimal digits) and its category, or -1
// when it is none of the five. `present` is false for a record without a type.
struct ForwardedType
{
    bool present = false;
    std::string_view text;
    int category = -1;
};
ForwardedType forwardedType(const SystemLog::LogRecordView &record, std::string &scratch);

// Stamps "yyyy-MM-dd hh:mm:ss" (local time) as moments. The local UTC offset is looked up once
// per minute of stamps: zones change their offsets only on whole minutes. A stamp that came
// twice (the clock put back) is the second of the two; one in the hour that was skipped (the
// clock put forward) is read with the offset before the change: 02:30 on the day Berlin starts
// summer time is 02:30+01:00.
class StampClock
{
public:
    // Microseconds since the epoch; false for text that is no valid stamp.
    bool toMicros(std::string_view stamp, qint64 *micros);
    // RFC 3339 with the local UTC offset of that moment ("2026-12-08T10:00:00+01:00").
    bool toRfc3339(std::string_view stamp, std::string &out);

private:
    struct Minute
    {
        qint64 startSecs = 0; // the minute's first second since the epoch
        int offsetSecs = 0;   // local time minus UTC at that moment
    };
    bool lookUp(std::string_view stamp, Minute *minute, int *second);

    QByteArray m_lastKey;
    Minute m_last;
    QHash<QByteArray, Minute> m_minutes;
};

// What each forwarded record carries beside its own fields.
struct ForwardIdentity
{
    QByteArray identifier; // SYSLOG_IDENTIFIER, APP-NAME
    QByteArray hostname;   // _HOSTNAME, HOSTNAME
};

class RecordEncoder
{
public:
    virtual ~RecordEncoder() = default;
    virtual void append(std::string &out, const SystemLog::LogRecordView &record) = 0;
};

// One entry of the Journal Export Format per record: fields MESSAGE, PRIORITY,
// SYSLOG_IDENTIFIER, TALLYVIEW_ID, TALLYVIEW_TYPE, TALLYVIEW_CATEGORY, _HOSTNAME and
// __REALTIME_TIMESTAMP, each value with a line break or another control character in the
// binary-safe form (name, newline, 64-bit little-endian length, the bytes).
class JournalExportEncoder : public RecordEncoder
{
public:
    explicit JournalExportEncoder(ForwardIdentity identity);
    void append(std::string &out, const SystemLog::LogRecordView &record) override;

private:
    ForwardIdentity m_identity;
    QVector<QByteArray> m_categoryNames;
    StampClock m_clock;
    std::string m_scratch;
};

// The SD-ID of the structured data in syslog messages: a private one under the enterprise
// number that RFC 5612 sets aside for documentation and examples.
extern const char kSyslogSdId[];

// One octet-counted RFC 5424 message per record: facility local0 with the record's severity,
// its stamp with the local UTC offset, hostname and identifier, structured data
// [tallyview@32473 id="…" type="…" category="…"] and the message in UTF-8 after a byte order
// mark (a message that is not valid UTF-8 goes without the mark, as the bytes it is).
class SyslogEncoder : public RecordEncoder
{
public:
    explicit SyslogEncoder(const ForwardIdentity &identity);
    void append(std::string &out, const SystemLog::LogRecordView &record) override;

private:
    QByteArray m_hostname;
    QByteArray m_appName;
    QVector<QByteArray> m_categoryNames;
    StampClock m_clock;
    std::string m_message;
    std::string m_scratch;
};

} // namespace TallyLog
