// What a wait costs the waiting thread: its CPU time per wait while another
// thread signals every 10 ms (a worker idling between spectra), and the
// round trip of two threads handing an event to each other at once (a caller
// and its worker). Wall time; the CPU time is the waiter's own, and
// spinning_waits the share of the waits that looked before they slept.

#include "platform/event.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>

namespace {

double threadCpuMicroseconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

// The waiter's CPU time per wait while the signal comes every `range(0)` ms.
void BM_WaitBetweenSlowSignals(benchmark::State& state) {
    platform::Event event(platform::ResetMode::Auto);
    std::atomic<bool> done{false};
    const auto period = std::chrono::milliseconds(state.range(0));
    std::thread signaller([&] {
        while (!done.load()) {
            std::this_thread::sleep_for(period);
            event.set();
        }
    });
    double cpu = 0.0;
    const uint64_t spinsBefore = platform::spinningWaitsOnThisThread();
    for (auto _ : state) {
        const double before = threadCpuMicroseconds();
        if (event.wait(5000) != platform::WaitResult::Signalled) {
            state.SkipWithError("no signal");
            break;
        }
        cpu += threadCpuMicroseconds() - before;
    }
    done = true;
    signaller.join();
    const auto waits = static_cast<double>(state.iterations());
    state.counters["waiter_cpu_us_per_wait"] = cpu / waits;
    state.counters["spinning_waits"] =
        static_cast<double>(platform::spinningWaitsOnThisThread() - spinsBefore) / waits;
}
BENCHMARK(BM_WaitBetweenSlowSignals)->Arg(10)->Iterations(200)->UseRealTime();

// Round trips: the main thread sets `ping` and waits for `pong`, the other
// thread answers each ping at once.
void BM_HandOff(benchmark::State& state) {
    platform::Event ping(platform::ResetMode::Auto);
    platform::Event pong(platform::ResetMode::Auto);
    std::atomic<bool> done{false};
    std::thread answerer([&] {
        while (ping.wait(5000) == platform::WaitResult::Signalled && !done.load()) {
            pong.set();
        }
    });
    const uint64_t spinsBefore = platform::spinningWaitsOnThisThread();
    for (auto _ : state) {
        ping.set();
        if (pong.wait(5000) != platform::WaitResult::Signalled) {
            state.SkipWithError("no answer");
            break;
        }
    }
    done = true;
    ping.set();
    answerer.join();
    state.counters["spinning_waits"] = benchmark::Counter(
        static_cast<double>(platform::spinningWaitsOnThisThread() - spinsBefore) /
        static_cast<double>(state.iterations()));
    state.counters["round_trips_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_HandOff)->UseRealTime();

} // namespace
