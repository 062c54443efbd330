#pragma once

// The loop of `tallylog forward`: reads the records of a log in id order, after the last one
// delivered, in batches; hands each batch to a sender until the receiver has confirmed it;
// then remembers its last id in the cursor file. A receiver that is down or refuses is tried
// again, 1 s after the first failure and up to 30 s apart, without skipping a record. With
// `once` the run ends when everything there is has been delivered, at the first refusal that
// trying again cannot mend, or when nothing could be delivered for `timeoutMs`.

#include "CursorFile.h"
#include "forward/ForwardSender.h"
#include "read/LogTail.h"

#include <QElapsedTimer>
#include <QString>

#include <functional>
#include <memory>
#include <string>

namespace TallyLog {

class RecordEncoder;

struct ForwardOptions
{
    QString dbPath;
    QString cursorPath;                // empty: no cursor file, start at the end of the log
    QString receiver;                  // the receiver as named on the command line, for messages
    SystemLog::LogSelection selection; // types, grep and from; ids are the forwarder's
    bool once = false;                 // stop when every record there is has been delivered
    int timeoutMs = 60000;             // with `once`: how long without progress before giving up
};

// What a run delivered: how many records, the first and the last id.
struct ForwardSummary
{
    qint64 records = 0;
    qint64 firstId = 0;
    qint64 lastId = 0;
};

class Forwarder
{
public:
    // `say` writes one line on standard error; `stop` tells that the program is to stop.
    Forwarder(ForwardOptions options, RecordEncoder &encoder, ForwardSender &sender,
              std::function<bool()> stop, std::function<void(const QString &)> say);

    // The exit status: 0 when stopped or (with `once`) done, 1 when the log or the cursor file
    // failed, or (with `once`) the receiver refused or could not be reached in time (said in
    // one line).
    int run();
    const ForwardSummary &summary() const { return m_summary; }

private:
    struct Waiting;
    int fail(const QString &what, const QString &reason);
    bool openLog(int *status);
    bool startingPoint(int *status);
    bool seekFrom(int *status);
    struct Batch
    {
        std::string bytes;
        qint64 records = 0; // 0: no batch
        qint64 first = 0;   // its first and last ids
        qint64 last = 0;
        quint64 generation = 0; // m_generation when it was read
    };
    bool readInto(Batch &batch, int *status);
    bool sayState(const SystemLog::LogTail::Poll &poll, int *status);
    bool deliverBatch(int *status);
    bool failedToDeliver(ForwardSender::Result result, const QString &error, int *status);
    bool confirmed(int *status);
    void pause(int ms);
    // With `once`: false (*status) once nothing has been delivered for timeoutMs.
    bool withinTimeout(const QString &reason, int *status);
    int sendTimeoutMs() const;

    ForwardOptions m_options;
    RecordEncoder &m_encoder;
    ForwardSender &m_sender;
    std::function<bool()> m_stop;
    std::function<void(const QString &)> m_say;
    SystemLog::LogTail m_tail;
    std::unique_ptr<CursorFile> m_cursor;
    qint64 m_delivered = 0;
    Batch m_batch;            // the batch to deliver
    Batch m_next;             // the one after it, read while m_batch is on its way
    quint64 m_generation = 0; // counts the logs found at the path (replaced ones)
    ForwardSummary m_summary;
    QElapsedTimer m_sinceProgress; // since the start or the last delivered batch
    qint64 m_batchRecords = 1;     // the most records the next batch read may hold
    int m_retryMs = 0;
    bool m_downReported = false;
};

} // namespace TallyLog
