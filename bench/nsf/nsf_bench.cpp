// Renders real NSF music through the sound library and reports how many
// seconds of audio one second of CPU time renders (x_real_time): once with
// the 6502 running the music engine, once replaying the recorded register
// stream through the library alone.
#include "nsf.hpp"
#include "player.hpp"

#include <output_filter.hpp>
#include <reglog.hpp>
#include <render.hpp>

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace pelrin_nsf;

namespace {

// Counts the bytes and throws them away: no memory or file output is measured.
class NullSink : public pelrin_render::PcmSink {
public:
    uint64_t bytes = 0;
    void write(const uint8_t *, size_t n) override { bytes += n; }
    void finish() override {}
};

const NsfFile &nsfFile(const std::string &name) {
    static std::vector<std::pair<std::string, NsfFile>> cache;
    for (const auto &[n, f] : cache)
        if (n == name) return f;
    cache.emplace_back(name, loadNsf(std::string(PELRIN_NSF_DATA) + "/" + name));
    return cache.back().second;
}

// pently.nsf tracks 1-4, 15 s each: a minute of music.
constexpr int kTracks = 4;
constexpr double kSecondsPerTrack = 15.0;

PlayerOptions options(int track) {
    PlayerOptions o;
    o.track = track;
    o.seconds = kSecondsPerTrack;
    o.rate = 44100;
    o.channels = 2;
    o.soundThread = false; // CPU time of one thread: the work, not how it overlaps
    return o;
}

void report(benchmark::State &state, double audioSeconds, double writes) {
    state.counters["x_real_time"] = benchmark::Counter(audioSeconds, benchmark::Counter::kIsRate);
    state.counters["audio_s"] = audioSeconds / static_cast<double>(state.iterations());
    state.counters["writes"] = writes;
}

// The whole player: 6502 emulation plus the library.
void BM_PentlyWithCpu(benchmark::State &state) {
    const NsfFile &nsf = nsfFile("pently.nsf");
    double audio = 0;
    for (auto _ : state) {
        for (int t = 0; t < kTracks; ++t) {
            NullSink sink;
            PlayResult r = play(nsf, options(t), sink);
            benchmark::DoNotOptimize(sink.bytes);
            audio += static_cast<double>(r.frames) / 44100.0;
        }
    }
    report(state, audio, 0);
}

// The library alone: the same music recorded first as (cycle, address,
// value) calls in memory, then replayed, timed, as pelrin-render does.
void BM_PentlyLibraryOnly(benchmark::State &state) {
    const NsfFile &nsf = nsfFile("pently.nsf");
    std::vector<pelrin_render::RegisterLog> logs;
    double writes = 0;
    for (int t = 0; t < kTracks; ++t) {
        NullSink sink;
        std::ostringstream text;
        play(nsf, options(t), sink, &text);
        logs.push_back(pelrin_render::parseLog(text.str(), "pently"));
        for (const auto &c : logs.back().commands) writes += c.op == pelrin_render::Op::Write;
    }
    pelrin_render::RenderSettings settings;
    settings.lengthSeconds = kSecondsPerTrack;
    double audio = 0;
    for (auto _ : state) {
        for (const auto &log : logs) {
            NullSink sink;
            pelrin_render::RenderStats s = pelrin_render::render(log, settings, sink);
            benchmark::DoNotOptimize(sink.bytes);
            audio += s.seconds();
        }
    }
    report(state, audio, writes);
}

// Ten seconds of one file's first track, 6502 included.
void RenderTenSeconds(benchmark::State &state, const char *file) {
    const NsfFile &nsf = nsfFile(file);
    double audio = 0;
    for (auto _ : state) {
        NullSink sink;
        PlayerOptions o = options(0);
        o.seconds = 10.0;
        PlayResult r = play(nsf, o, sink);
        audio += static_cast<double>(r.frames) / 44100.0;
    }
    report(state, audio, 0);
}

// A test program that keeps the 6502 busy all the time.
void BM_BusyCpuFile(benchmark::State &state) { RenderTenSeconds(state, "nat_db_n163.nsf"); }

// A version 2 file whose tone comes from timer interrupts, 900 a second,
// while play keeps the CPU busy half of each frame.
void BM_InterruptDrivenFile(benchmark::State &state) { RenderTenSeconds(state, "nat_nsf2_irq.nsf"); }

// The listening filter as pelrin-nsf runs it: on the player's thread, which
// sleeps until the library's thread on the other core has a chunk ready
// and wakes it. A minute of pently.nsf, made once, in chunks of 256 KiB;
// the time is the filtering thread's.
void BM_FilterOnWokenThread(benchmark::State &state) {
    static const std::vector<uint8_t> pcm = [] {
        pelrin_render::MemorySink music;
        PlayerOptions o = options(0);
        o.seconds = 60.0;
        play(nsfFile("pently.nsf"), o, music);
        return music.data;
    }();
    constexpr size_t kChunk = size_t{1} << 18;
    const size_t chunks = (pcm.size() + kChunk - 1) / kChunk;
    double audio = 0;
    for (auto _ : state) {
        std::mutex mutex;
        std::condition_variable changed;
        size_t ready = 0, taken = 0;
        // Hands the chunks over one at a time, each once the last is taken.
        std::thread library([&] {
            std::unique_lock<std::mutex> lock(mutex);
            for (size_t c = 0; c < chunks; c++) {
                changed.wait(lock, [&] { return taken == c; });
                ready = c + 1;
                changed.notify_all();
            }
        });
        NullSink sink;
        pelrin_render::FilterSink filter(sink, pelrin_render::FilterSettings{}, 44100, 16, 2);
        for (size_t c = 0; c < chunks; c++) {
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] { return ready > c; });
            }
            filter.write(pcm.data() + c * kChunk, std::min(kChunk, pcm.size() - c * kChunk));
            std::lock_guard<std::mutex> lock(mutex);
            taken = c + 1;
            changed.notify_all();
        }
        library.join();
        audio += static_cast<double>(pcm.size()) / (44100.0 * 4);
    }
    report(state, audio, 0);
}

} // namespace

BENCHMARK(BM_PentlyWithCpu)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PentlyLibraryOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BusyCpuFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InterruptDrivenFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FilterOnWokenThread)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
