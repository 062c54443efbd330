#include "forward/ForwardRun.h"

#include "StopSignal.h"
#include "forward/ForwardEncoding.h"
#include "forward/ForwardSender.h"
#include "forward/Forwarder.h"
#include "text/Output.h"

namespace TallyLog {

int deliverForward(const ForwardOptions &options, const ForwardAddress &address,
                   const ForwardIdentity &identity)
{
    catchStopSignals();
    const ForwardTarget target = makeForwardTarget(address, identity, stopRequested);
    Forwarder forwarder(options, *target.encoder, *target.sender, stopRequested,
                        [](const QString &line) { printLine(stderr, line); });
    return forwarder.run();
}

} // namespace TallyLog
