// Cost of an output-hook call while the writer thread stores what it is handed.

#include "Measurements.h"

#include "OutputHook.h"
#include "qzSysLog.h"

#include <QString>

#ifdef TALLYVIEW_BENCH_SPDLOG
#include <spdlog/async.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#endif

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>

namespace bench {

namespace {

std::atomic<long long> g_sink{0};

// A fixed set of logging threads that run one round at a time. The threads live for the whole
// measurement, as an application's logging threads do: a fresh thread per round would measure
// the allocator warming up a new thread's heap instead of the hook.
class RoundRunner
{
public:
    explicit RoundRunner(int threads) : m_perCall(static_cast<std::size_t>(threads), 0.0)
    {
        for (int t = 0; t < threads; ++t)
            m_workers.emplace_back([this, t] { work(t); });
    }
    ~RoundRunner()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_quit = true;
            ++m_generation;
        }
        m_wake.notify_all();
        for (std::thread &w : m_workers)
            w.join();
    }

    // Runs `body` callsPerThread times on every thread, all released at once, and returns the
    // mean over the threads of each thread's own time per call, in nanoseconds.
    double run(int callsPerThread, const std::function<void()> &body)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_body = &body;
            m_calls = callsPerThread;
            m_ready = 0;
            m_done = 0;
            m_go.store(false);
            ++m_generation;
        }
        m_wake.notify_all();
        while (m_ready.load() < static_cast<int>(m_workers.size()))
            std::this_thread::yield();
        m_go.store(true, std::memory_order_release);
        while (m_done.load() < static_cast<int>(m_workers.size()))
            std::this_thread::yield();
        double sum = 0;
        for (double v : m_perCall)
            sum += v;
        return sum / static_cast<double>(m_workers.size());
    }

private:
    void work(int index)
    {
        unsigned seen = 0;
        for (;;) {
            const std::function<void()> *body = nullptr;
            int calls = 0;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_wake.wait(lock, [&] { return m_generation != seen; });
                seen = m_generation;
                if (m_quit)
                    return;
                body = m_body;
                calls = m_calls;
            }
            m_ready.fetch_add(1);
            while (!m_go.load(std::memory_order_acquire))
                std::this_thread::yield();
            const Clock::time_point start = Clock::now();
            for (int i = 0; i < calls; ++i)
                (*body)();
            m_perCall[static_cast<std::size_t>(index)] = nsBetween(start, Clock::now()) / calls;
            m_done.fetch_add(1);
        }
    }

    std::vector<double> m_perCall;
    std::vector<std::thread> m_workers;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    unsigned m_generation = 0;
    bool m_quit = false;
    const std::function<void()> *m_body = nullptr;
    int m_calls = 0;
    std::atomic<int> m_ready{0};
    std::atomic<int> m_done{0};
    std::atomic<bool> m_go{false};
};

// Waits until the writer has stored every record logged so far (`logged` of them, ids run from
// 1) and has gone back to its sleep, so that a round starts with the writer idle. Without this
// the writer would still be storing, and freeing, the previous round's burst on the other core:
// a round logs 20,000 records in a few milliseconds, a hundred times faster than any store.
void waitUntilStored(sqlite3 *db, long long logged)
{
    while (scalarOrDie(db, "SELECT COALESCE(MAX(id), 0) FROM SystemInfo") < logged)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

#ifdef TALLYVIEW_BENCH_SPDLOG
// spdlog's asynchronous logger with a file sink, called as the hook is (a category and the
// message bytes); its queue holds a whole round, so that neither side waits for its writer.
std::shared_ptr<spdlog::logger> spdlogAsync(const std::string &path, int queued)
{
    spdlog::init_thread_pool(static_cast<std::size_t>(queued), 1);
    return spdlog::create_async<spdlog::sinks::basic_file_sink_mt>("bench", path, true);
}
#endif

} // namespace

std::vector<Row> measureHookCost(int rounds, int callsPerRound)
{
    WorkDir dir;
    SystemLog::qzSysLog *service = SystemLog::qzSysLog::instance();
    service->start();

    const QByteArray msg = message64();
    const char *bytes = msg.constData();
    const int len = msg.size();

    auto hookCall = [bytes, len] { SystemLog::outputHook(SystemLog::Alarm, bytes, len); };
    std::mutex baselineMutex;
    long long baselineChars = 0;
    auto baselineCall = [&] {
        const QString text = QString::fromUtf8(bytes, len);
        std::lock_guard<std::mutex> lock(baselineMutex);
        baselineChars += text.size();
    };

    // An empty call through a type-erased function object, for reference. The volatile pointer
    // keeps the compiler from seeing through the call.
    std::function<void(int, const char *, int)> empty = [](int, const char *, int) {};
    std::function<void(int, const char *, int)> *volatile emptyPtr = &empty;
    auto emptyCall = [emptyPtr, bytes, len] { (*emptyPtr)(SystemLog::Alarm, bytes, len); };

    // A connection of the benchmark's own, to see how far the writer has got.
    sqlite3 *progress = openDb(dir.file("dbLog.db"), SQLITE_OPEN_READONLY);
    sqlite3_busy_timeout(progress, 10000); // the writer locks the file while it commits
    long long logged = 0;

    std::vector<Row> rows;
    std::vector<std::string> details;
#ifdef TALLYVIEW_BENCH_SPDLOG
    const std::shared_ptr<spdlog::logger> peer =
        spdlogAsync(dir.file("spdlog.log"), 2 * callsPerRound + 1024);
    const std::function<void()> peerBody = [&peer, bytes, len] {
        peer->log(spdlog::level::err, std::string_view(bytes, std::size_t(len)));
    };
    std::vector<double> peerCost;
#endif
    const std::function<void()> hookBody = hookCall;
    const std::function<void()> baselineBody = baselineCall;
    const std::function<void()> emptyBody = emptyCall;
    for (int threads = 1; threads <= 2; ++threads) {
        RoundRunner runner(threads);
        const long long perRound = static_cast<long long>(callsPerRound) * threads;
        std::vector<double> hook, hookBusy, baseline, emptyFn;
        const int warmup = 2;
        for (int r = 0; r < warmup + rounds; ++r) {
            waitUntilStored(progress, logged);
            // Alternate the order so that drift of the machine hits both sides alike; neither
            // the baseline nor the empty call logs anything, so the writer stays idle.
            double h = 0, b = 0;
            if (r % 2 == 0) {
                h = runner.run(callsPerRound, hookBody);
                logged += perRound;
                waitUntilStored(progress, logged);
                b = runner.run(callsPerRound, baselineBody);
            } else {
                b = runner.run(callsPerRound, baselineBody);
                h = runner.run(callsPerRound, hookBody);
                logged += perRound;
            }
            const double e = runner.run(callsPerRound, emptyBody);
#ifdef TALLYVIEW_BENCH_SPDLOG
            if (threads == 1) {
                const double p = runner.run(callsPerRound, peerBody);
                peer->flush();
                if (r >= warmup)
                    peerCost.push_back(p);
            }
#endif
            // For information: a round right after another, while the writer stores and frees
            // the burst just logged.
            const double hb = runner.run(callsPerRound, hookBody);
            logged += perRound;
            if (r >= warmup) {
                hook.push_back(h);
                hookBusy.push_back(hb);
                baseline.push_back(b);
                emptyFn.push_back(e);
            }
        }
        const Summary hs = summarize(hook);
        const Summary hbs = summarize(hookBusy);
        const Summary bs = summarize(baseline);
        const Summary es = summarize(emptyFn);

        Row row;
        row.figure =
            format("hook call, %d thread%s, 64 B (ns/call)", threads, threads == 1 ? "" : "s");
        row.value = format("%.1f", hs.median);
        row.baseline = format("%.1f", bs.median);
        row.ratio = format("%.2f", hs.median / bs.median);
        if (threads == 1) {
            row.target = "< 150 ns";
            row.verdict = hs.median < 150.0 ? Row::Verdict::Pass : Row::Verdict::Fail;
        } else {
            row.target = "-";
            row.verdict = Row::Verdict::Info;
        }
        rows.push_back(row);
#ifdef TALLYVIEW_BENCH_SPDLOG
        if (threads == 1) {
            const Summary ps = summarize(peerCost);
            Row vsPeer;
            vsPeer.figure = "  hook vs spdlog async, file sink (ns/call)";
            vsPeer.value = format("%.1f", hs.median);
            vsPeer.baseline = format("%.1f", ps.median);
            vsPeer.ratio = format("%.2f", hs.median / ps.median);
            vsPeer.target = "<= 0.3x";
            vsPeer.verdict = hs.median <= 0.3 * ps.median ? Row::Verdict::Pass : Row::Verdict::Fail;
            rows.push_back(vsPeer);
        }
#else
        if (threads == 1) {
            Row vsPeer;
            vsPeer.figure = "  hook vs spdlog async, file sink";
            vsPeer.value = "skipped";
            vsPeer.target = "<= 0.3x";
            rows.push_back(vsPeer);
            details.push_back("hook vs spdlog: skipped, libspdlog-dev was not installed when "
                              "bench_service was built (bash scripts/bench.sh installs it)");
        }
#endif

        Row busy;
        busy.figure = format("  same, writer storing a burst (ns/call)");
        busy.value = format("%.1f", hbs.median);
        busy.baseline = format("%.1f", bs.median);
        busy.ratio = format("%.2f", hbs.median / bs.median);
        busy.target = "-";
        busy.verdict = Row::Verdict::Info;
        rows.push_back(busy);

        details.push_back(format(
            "hook, %d thread%s: %d rounds x %d calls per thread; hook, writer idle: median %.1f ns "
            "(IQR %.1f-%.1f, min %.1f, max %.1f); hook, writer storing the previous %lld records: "
            "median %.1f ns (IQR %.1f-%.1f, min %.1f, max %.1f); baseline median %.1f ns (IQR "
            "%.1f-%.1f, min %.1f, max %.1f); empty std::function call median %.1f ns",
            threads, threads == 1 ? "" : "s", hs.n, callsPerRound, hs.median, hs.q1, hs.q3, hs.min,
            hs.max, perRound, hbs.median, hbs.q1, hbs.q3, hbs.min, hbs.max, bs.median, bs.q1, bs.q3,
            bs.min, bs.max, es.median));
    }
    waitUntilStored(progress, logged);
    sqlite3_close(progress);
    g_sink += baselineChars;

    SystemLog::qzSysLog::release();
#ifdef TALLYVIEW_BENCH_SPDLOG
    spdlog::shutdown();
#endif
    for (const std::string &d : details)
        std::printf("  %s\n", d.c_str());
    std::fflush(stdout);
    return rows;
}

} // namespace bench
