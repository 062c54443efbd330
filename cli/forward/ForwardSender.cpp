#include "forward/ForwardSender.h"

#include "forward/ForwardEncoding.h"
#include "forward/ForwardTls.h"
#include "forward/JournalRemoteSender.h"
#include "forward/SyslogSender.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

namespace TallyLog {

namespace {

// Waits are broken up into ticks of this length to look at the stop request.
constexpr int kTickMs = 20;

} // namespace

bool runEventsUntil(const std::function<bool()> &done, const StopRequested &stop, int timeoutMs)
{
    QTimer tick;
    tick.start(kTickMs);
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (stop() || clock.elapsed() >= timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

bool makeForwardTarget(const ForwardAddress &address, const ForwardIdentity &identity,
                       const StopRequested &stop, ForwardTarget *target, QString *problem)
{
    std::optional<QSslConfiguration> tls;
    if (address.tls) {
        QSslConfiguration configuration;
        if (!makeTlsConfiguration(address.tlsFiles, &configuration, problem))
            return false;
        tls = configuration;
    }
    if (address.kind == ForwardAddress::Kind::JournalRemote) {
        target->encoder = std::make_unique<JournalExportEncoder>(identity);
        target->sender = std::make_unique<JournalRemoteSender>(address.upload, tls, stop);
    } else {
        target->encoder = std::make_unique<SyslogEncoder>(identity);
        target->sender = std::make_unique<SyslogSender>(address.host, address.port, tls, stop);
    }
    return true;
}

} // namespace TallyLog
