#pragma once

#include <atomic>
#include <functional>

namespace SystemLog {

// Target of the output hook: (type, msg, len), msg pointing at exactly len bytes of UTF-8.
using OutputFunction = std::function<void(int type, const char *msg, int len)>;
using FlushFunction = std::function<void()>;

// Default targets: write exactly len bytes to standard output / flush standard output.
void writeStdout(int type, const char *msg, int len);
void flushStdout();

// The process-wide entry point for log records. Calling it is thread-safe and lock-free; the
// target can be replaced while other threads call it (see setOutputHook). It is usable from
// before main() until after main() returns: its state is constant-initialised and it never
// frees anything at exit.
class OutputHook
{
public:
    constexpr OutputHook() = default;
    OutputHook(const OutputHook &) = delete;
    OutputHook &operator=(const OutputHook &) = delete;

    void operator()(int type, const char *msg, int len) const;

    // Replaces the target; an empty function restores writeStdout. Returns only once no call
    // of the hook is still running the previous target, which is then destroyed. Must not be
    // called from inside a hook call.
    void setTarget(OutputFunction target);

private:
    static constexpr int kSlots = 2;
    mutable std::atomic<unsigned> m_users[kSlots] = {};
    std::atomic<unsigned> m_current{0};
    std::atomic<OutputFunction *> m_targets[kSlots] = {};
};

extern OutputHook outputHook;

// The flush hook keeps its default (flushStdout) unless code replaces it before logging starts.
extern FlushFunction flushHook;

// Points outputHook at f (see OutputHook::setTarget).
void setOutputHook(OutputFunction f);

} // namespace SystemLog
