#include "OutputHook.h"

#include <cstdio>
#include <mutex>
#include <thread>
#include <utility>

namespace SystemLog {

void writeStdout(int /*type*/, const char *msg, int len)
{
    if (!msg || len <= 0)
        return;
    std::fwrite(msg, 1, static_cast<size_t>(len), stdout);
}

void flushStdout()
{
    std::fflush(stdout);
}

// How a call finds its target without a lock: the hook keeps two target slots and a count of
// the calls running in each. A call registers in the current slot, then checks the slot is
// still current (if not, it leaves and retries). setTarget() installs the new target in the
// other slot, makes that slot current and waits until the old slot has no calls left before
// it destroys the old target. All these accesses are sequentially consistent, which is what
// makes "register, then re-check" safe against "switch, then wait".
void OutputHook::operator()(int type, const char *msg, int len) const
{
    unsigned slot;
    for (;;) {
        slot = m_current.load();
        m_users[slot].fetch_add(1);
        if (m_current.load() == slot)
            break;
        m_users[slot].fetch_sub(1);
    }
    const OutputFunction *target = m_targets[slot].load();
    if (target)
        (*target)(type, msg, len);
    else
        writeStdout(type, msg, len);
    m_users[slot].fetch_sub(1);
}

namespace {
std::mutex g_setTargetMutex;

void waitUntilUnused(const std::atomic<unsigned> &users)
{
    while (users.load() != 0)
        std::this_thread::yield();
}
} // namespace

void OutputHook::setTarget(OutputFunction target)
{
    OutputFunction *fresh = target ? new OutputFunction(std::move(target)) : nullptr;

    std::lock_guard<std::mutex> lock(g_setTargetMutex);
    const unsigned old = m_current.load();
    const unsigned next = old ^ 1u;
    // Calls that looked at the spare slot during an earlier switch may still be backing out.
    waitUntilUnused(m_users[next]);
    delete m_targets[next].exchange(fresh);
    m_current.store(next);
    waitUntilUnused(m_users[old]);
    delete m_targets[old].exchange(nullptr);
}

OutputHook outputHook;
FlushFunction flushHook = flushStdout;

void setOutputHook(OutputFunction f)
{
    outputHook.setTarget(std::move(f));
}

} // namespace SystemLog
