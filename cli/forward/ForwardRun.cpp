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
    ForwardTarget target;
    QString problem;
    if (!makeForwardTarget(address, identity, stopRequested, &target, &problem)) {
        printLine(stderr, QStringLiteral("tallylog: ") + problem);
        return kExitFailure;
    }
    // Said on every start, where the operator looks: nothing proves whom the records go to.
    if (address.tlsFiles.trust == QLatin1String("all"))
        printLine(stderr, QStringLiteral("tallylog: WARNING: --trust all: the receiver's "
                                         "certificate is not checked; anyone between here and "
                                         "%1 can read and change the records")
                              .arg(options.receiver));
    Forwarder forwarder(options, *target.encoder, *target.sender, stopRequested,
                        [](const QString &line) { printLine(stderr, line); });
    const int status = forwarder.run();
    if (status == kExitDone && options.once) {
        const ForwardSummary &done = forwarder.summary();
        const QString ids =
            done.records == 1 ? QStringLiteral("id %1").arg(done.firstId)
                              : QStringLiteral("ids %1\u2013%2").arg(done.firstId).arg(done.lastId);
        printLine(stdout, done.records == 0
                              ? QStringLiteral("delivered 0 records to %1").arg(options.receiver)
                              : QStringLiteral("delivered %1 record%2, %3, to %4")
                                    .arg(done.records)
                                    .arg(QLatin1String(done.records == 1 ? "" : "s"), ids,
                                         options.receiver));
    }
    return status;
}

} // namespace TallyLog
