// Rendering throughput in seconds of audio per second of CPU ("x real time")
// at 44100 Hz, 16-bit stereo, driven frame by frame as a host drives it.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "pelrin.h"

namespace {

constexpr double kCpuClock = 1789772.75;
constexpr uint32_t kFrameCycles = 29781;
constexpr int kFramesPerRun = 600;  // ten seconds of audio

uint8_t rom[8][4096];
std::vector<uint8_t> frameBuffer(1 << 16);

void Setup(int chip) {
    for (int bank = 0; bank < 8; bank++) APU_SetDMAPointer(bank, rom[bank]);
    uint32_t seed = 12345;
    for (auto &bank : rom)
        for (uint8_t &byte : bank) byte = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 24);
    APU_Initialize();
    APU_SetEnvironment(0, static_cast<float>(kCpuClock), 7457.5f);
    APU_SetOutputFormat(44100, 16, 2);
    APU_SetOutputBuffer(frameBuffer.data(), static_cast<uint32_t>(frameBuffer.size()));
    APU_SetChannelOptions(0, -1, -1, -40);
    APU_SetChannelOptions(1, -1, -1, 40);
    APU_Reset(chip);
}

struct Host {
    uint32_t cycle = 0;
    void Write(uint16_t address, uint8_t value) {
        cycle += APU_RegWrite(address, value, cycle) + 4;
    }
    void EndFrame() {
        cycle += kFrameCycles;
        cycle += APU_RunToCycle(cycle);
        benchmark::DoNotOptimize(APU_GetWrittenBufferSize(1));
    }
};

// All five 2A03 channels busy: notes change every frame, the noise at its
// shortest period, a looping DMC sample at the fastest rate.
void Dense2A03Frame(Host &h, int frame) {
    const uint16_t period = static_cast<uint16_t>(120 + (frame * 37) % 600);
    h.Write(0x4000, 0xBF);
    h.Write(0x4002, period & 0xFF);
    h.Write(0x4003, static_cast<uint8_t>(0x08 | (period >> 8)));
    h.Write(0x4004, 0x7F);
    h.Write(0x4006, (period * 3 / 4) & 0xFF);
    h.Write(0x4007, static_cast<uint8_t>(0x08 | ((period * 3 / 4) >> 8)));
    h.Write(0x4008, 0xFF);
    h.Write(0x400A, (period / 2) & 0xFF);
    h.Write(0x400B, static_cast<uint8_t>(0x08 | ((period / 2) >> 8)));
    h.Write(0x400C, 0x3F);
    h.Write(0x400E, 0x00);
    h.Write(0x400F, 0x08);
    h.EndFrame();
}

void Start2A03(Host &h) {
    h.Write(0x4015, 0x1F);
    h.Write(0x4010, 0x4F);  // loop, fastest rate
    h.Write(0x4012, 0x00);
    h.Write(0x4013, 0xFF);
    h.Write(0x4015, 0x1F);
}

void Report(benchmark::State &state, int64_t frames) {
    const double audioSeconds = static_cast<double>(frames) * kFrameCycles / kCpuClock;
    state.counters["x_real_time"] = benchmark::Counter(audioSeconds, benchmark::Counter::kIsRate);
}

void BM_Silence(benchmark::State &state) {
    Setup(0);
    Host h;
    int64_t frames = 0;
    for (auto _ : state)
        for (int f = 0; f < kFramesPerRun; f++, frames++) h.EndFrame();
    Report(state, frames);
}
BENCHMARK(BM_Silence)->Unit(benchmark::kMillisecond);

void BM_Dense2A03(benchmark::State &state) {
    Setup(0);
    Host h;
    Start2A03(h);
    int64_t frames = 0;
    for (auto _ : state)
        for (int f = 0; f < kFramesPerRun; f++, frames++) Dense2A03Frame(h, f);
    Report(state, frames);
}
BENCHMARK(BM_Dense2A03)->Unit(benchmark::kMillisecond);

void BM_Dense2A03WithVrc6(benchmark::State &state) {
    Setup(1);
    Host h;
    Start2A03(h);
    for (uint16_t base : {0x9000, 0xA000}) {
        h.Write(base, 0x5F);
        h.Write(base + 1, 0x40);
        h.Write(base + 2, 0x81);
    }
    h.Write(0xB000, 0x2A);
    h.Write(0xB001, 0x80);
    h.Write(0xB002, 0x80);
    int64_t frames = 0;
    for (auto _ : state)
        for (int f = 0; f < kFramesPerRun; f++, frames++) Dense2A03Frame(h, f);
    Report(state, frames);
}
BENCHMARK(BM_Dense2A03WithVrc6)->Unit(benchmark::kMillisecond);

void BM_Dense2A03WithMmc5(benchmark::State &state) {
    Setup(8);
    Host h;
    Start2A03(h);
    h.Write(0x5015, 0x03);
    h.Write(0x5010, 0x01);
    int64_t frames = 0;
    for (auto _ : state) {
        for (int f = 0; f < kFramesPerRun; f++, frames++) {
            h.Write(0x5000, 0xBF);
            h.Write(0x5002, static_cast<uint8_t>(f * 7));
            h.Write(0x5003, 0x09);
            h.Write(0x5004, 0x7F);
            h.Write(0x5006, static_cast<uint8_t>(f * 5));
            h.Write(0x5007, 0x0A);
            h.Write(0x5011, static_cast<uint8_t>(f * 13));
            Dense2A03Frame(h, f);
        }
    }
    Report(state, frames);
}
BENCHMARK(BM_Dense2A03WithMmc5)->Unit(benchmark::kMillisecond);

void BM_Dense2A03WithN163(benchmark::State &state) {
    Setup(16);
    Host h;
    Start2A03(h);
    h.Write(0xF800, 0x80);
    for (int i = 0; i < 64; i++) h.Write(0x4800, static_cast<uint8_t>(i * 29));
    for (int c = 0; c < 8; c++) {
        const uint8_t base = static_cast<uint8_t>(0x40 + 8 * c);
        const uint32_t freq = 20000 + 9000 * c;
        const uint8_t regs[8] = {static_cast<uint8_t>(freq), 0, static_cast<uint8_t>(freq >> 8), 0,
                                 static_cast<uint8_t>(((freq >> 16) & 3) | 0x00), 0,
                                 static_cast<uint8_t>(c * 8), static_cast<uint8_t>(c == 7 ? 0x7F : 0x0C)};
        h.Write(0xF800, static_cast<uint8_t>(0x80 | base));
        for (uint8_t r : regs) h.Write(0x4800, r);
    }
    int64_t frames = 0;
    for (auto _ : state)
        for (int f = 0; f < kFramesPerRun; f++, frames++) Dense2A03Frame(h, f);
    Report(state, frames);
}
BENCHMARK(BM_Dense2A03WithN163)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
