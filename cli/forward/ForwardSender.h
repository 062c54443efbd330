#pragma once

// Where `tallylog forward` delivers its batches: systemd-journal-remote over HTTP(S), or a
// syslog server over TCP or TLS. A batch counts as delivered only when the receiver has
// confirmed it: journal-remote by answering 2xx, a syslog server (syslog has no
// acknowledgement) by closing its side of the connection after it has read everything up to
// our own close.

#include "forward/ForwardAddress.h"

#include <QString>

#include <functional>
#include <memory>
#include <string>

namespace TallyLog {

class RecordEncoder;
struct ForwardIdentity;

// True once the program is asked to stop (SIGINT, SIGTERM).
using StopRequested = std::function<bool()>;

class ForwardSender
{
public:
    enum class Result
    {
        Delivered, // the receiver has every record of the batch
        Failed,    // it may have none, some or all of them: send them again
        Refused,   // as Failed, for a reason that trying again does not mend (a 4xx answer,
                   // a certificate refused, a receiver that does not speak the protocol)
        Stopped,   // asked to stop while sending; as Failed, but not to be retried
    };

    virtual ~ForwardSender() = default;
    // Starts sending a batch, which must stay as it is until finish() has returned: the caller
    // may read the next one meanwhile.
    virtual void begin(const std::string &batch) = 0;
    // Called now and then while the caller reads the next batch: moves the one begun on, as far
    // as that goes without waiting.
    virtual void keepSending() {}
    // The receiver's answer to the batch begun last; Failed when it has not confirmed the batch
    // within timeoutMs.
    virtual Result finish(int timeoutMs, QString *error) = 0;
};

// A receiver named by --to: its sender and the encoder of its records.
struct ForwardTarget
{
    std::unique_ptr<RecordEncoder> encoder;
    std::unique_ptr<ForwardSender> sender;
};

// The sender and encoder for a receiver; false with *problem ("FILE: reason") when its TLS
// files cannot be used.
bool makeForwardTarget(const ForwardAddress &address, const ForwardIdentity &identity,
                       const StopRequested &stop, ForwardTarget *target, QString *problem);

// Runs the event loop until done() holds, the program is asked to stop or the time is up;
// returns done().
bool runEventsUntil(const std::function<bool()> &done, const StopRequested &stop, int timeoutMs);

} // namespace TallyLog
