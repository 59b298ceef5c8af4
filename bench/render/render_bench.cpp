// Replays minutes of music through the sound library, as pelrin-render does,
// and reports how many seconds of audio one second of CPU time renders.
#include "demo.hpp"
#include "render.hpp"

#include <benchmark/benchmark.h>

#include <map>

using namespace pelrin_render;

namespace {

// Counts the bytes and throws them away: the benchmark measures the library,
// not memory or file output.
class NullSink : public PcmSink {
public:
    uint64_t bytes = 0;
    void write(const uint8_t *, size_t n) override { bytes += n; }
    void finish() override {}
};

// The demo song repeated back to back, about 40 s a pass, built in memory.
const RegisterLog &loopedDemo(int passes) {
    static std::map<int, RegisterLog> cache;
    auto it = cache.find(passes);
    if (it != cache.end()) return it->second;
    RegisterLog one = parseLog(demoLogText(), "demo");
    RegisterLog log;
    log.name = "demo x" + std::to_string(passes);
    const uint64_t passCycles = one.lastCycle + 1;
    for (int p = 0; p < passes; ++p) {
        for (Command c : one.commands) {
            if (isTimed(c.op)) c.cycle += passCycles * static_cast<uint64_t>(p);
            log.commands.push_back(std::move(c));
        }
    }
    log.lastCycle = passCycles * static_cast<uint64_t>(passes - 1) + one.lastCycle;
    log.hasTimed = true;
    return cache.emplace(passes, std::move(log)).first->second;
}

void BM_RenderDemo(benchmark::State &state) {
    const int passes = static_cast<int>(state.range(0));
    const RegisterLog &log = loopedDemo(passes);
    RenderSettings settings;
    settings.rate = static_cast<int>(state.range(1));
    settings.channels = static_cast<int>(state.range(2));
    double audioSeconds = 0;
    size_t writes = 0;
    for (const Command &c : log.commands) writes += c.op == Op::Write;
    for (auto _ : state) {
        NullSink sink;
        RenderStats stats = render(log, settings, sink);
        benchmark::DoNotOptimize(sink.bytes);
        audioSeconds += stats.seconds();
    }
    // Seconds of audio per second of CPU time.
    state.counters["x_realtime"] = benchmark::Counter(audioSeconds, benchmark::Counter::kIsRate);
    state.counters["audio_s"] = audioSeconds / static_cast<double>(state.iterations());
    state.counters["writes"] = static_cast<double>(writes);
}

} // namespace

// Four passes of the demo: about 2 min 40 s of music, some 250 000 register writes.
BENCHMARK(BM_RenderDemo)
    ->Args({4, 44100, 1})
    ->Args({4, 48000, 2})
    ->Args({4, 96000, 2})
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
