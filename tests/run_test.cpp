// The run loop: slices, frame-sequencer step events, sample boundaries,
// stall cycles and the edges of the cycle count.
#include <memory>
#include <vector>

#include "core/segment.h"
#include "frame/instance.h"
#include "support.h"

namespace pelrin::test {
namespace {

struct Run : Unit {};

TEST_F(Run, RunToTheTimestampDoesNothing) {
    EXPECT_EQ(APU_RunToCycle(0), 0u);
    EXPECT_EQ(apu.sampleCountdown, apu.cyclesPerSample);
    EXPECT_EQ(APU_RegWrite(0x4015, 0, 0), 0u);
}

TEST_F(Run, ShortSpanIsOneSliceWithoutEvents) {
    APU_RunToCycle(30);
    EXPECT_EQ(apu.sampleCycles, 30);
    EXPECT_FLOAT_EQ(apu.sampleCountdown, 40.584415f - 30.0f);
    EXPECT_EQ(apu.frameStepCountdown, 7457.5f - 30.0f);
    EXPECT_EQ(APU_GetWrittenBufferSize(0), 0u);
}

TEST_F(Run, FourStepEventsFallOnTheFirstWholeCycleAfterEachStep) {
    struct Event {
        uint32_t cycle;
        uint8_t stepAfter;
        bool irq;
    };
    const Event events[] = {{7458, 1, false}, {14915, 2, false}, {22373, 3, false}, {29830, 0, true}};
    for (const Event &e : events) {
        APU_RunToCycle(e.cycle - 1);
        EXPECT_NE(apu.frameStep, e.stepAfter) << e.cycle;
        EXPECT_EQ(apu.frameIrqFlag, 0) << e.cycle;
        APU_RunToCycle(e.cycle);
        EXPECT_EQ(apu.frameStep, e.stepAfter) << e.cycle;
        EXPECT_EQ(apu.frameIrqFlag, e.irq ? 1 : 0) << e.cycle;
    }
}

TEST_F(Run, QuarterAndHalfFrameClocksFollowTheSequence) {
    // A looping envelope of period 0 decays once per quarter-frame clock; a
    // counting length counter drops once per half-frame clock.
    Write(0x4015, 0x01);
    Write(0x4000, 0x00);
    Write(0x4002, 0x00);
    Write(0x4003, 0x08);  // length 254 (index 1)
    const uint8_t decay[] = {14, 13, 12, 11, 10};
    const uint8_t length[] = {253, 253, 252, 252, 251};
    const uint32_t at[] = {7458, 14915, 22373, 29830, 37288};
    for (int i = 0; i < 5; i++) {
        APU_RunToCycle(at[i]);
        EXPECT_EQ(apu.pulse[0].envelope.decay, decay[i]) << i;
        EXPECT_EQ(apu.pulse[0].length, length[i]) << i;
    }
}

TEST_F(Run, FiveStepModeRaisesItsInterruptAtTheFifthEvent) {
    Write(0x4017, 0x80);  // clocks the envelopes at once
    Write(0x4015, 0x01);
    Write(0x4000, 0x00);
    Write(0x4003, 0x08);
    const uint8_t length[] = {253, 253, 252, 252, 252};
    const uint32_t at[] = {7458, 14915, 22373, 29830, 37288};
    for (int i = 0; i < 5; i++) {
        APU_RunToCycle(at[i]);
        EXPECT_EQ(apu.pulse[0].length, length[i]) << i;
        EXPECT_EQ(apu.frameIrqFlag, i == 4 ? 1 : 0) << i;
    }
    EXPECT_EQ(apu.frameStep, 0);
}

TEST_F(Run, FourStepWriteMakesTheFirstEventTheWrap) {
    APU_RunToCycle(1000);
    Write(0x4017, 0x00);
    EXPECT_EQ(apu.frameStep, 4);
    APU_RunToCycle(1000 + 7457);
    EXPECT_EQ(apu.frameIrqFlag, 0);
    APU_RunToCycle(1000 + 7458);
    EXPECT_EQ(apu.frameIrqFlag, 1);
    EXPECT_EQ(apu.frameStep, 0);
}

TEST_F(Run, DisabledFrameInterruptStaysClearWhileTheSequencerSteps) {
    Write(0x4017, 0x40);
    APU_RunToCycle(100000);
    EXPECT_EQ(apu.frameIrqFlag, 0);
    EXPECT_NE(apu.frameStepCountdown, 7457.5f);
}

TEST_F(Run, FirstFiveSamplesCover41_41_40_41_40Cycles) {
    const uint32_t boundaries[] = {41, 82, 122, 163, 203};
    for (uint32_t i = 0; i < 5; i++) {
        APU_RunToCycle(boundaries[i] - 1);
        EXPECT_EQ(APU_GetWrittenBufferSize(0), 2 * i);
        APU_RunToCycle(boundaries[i]);
        EXPECT_EQ(APU_GetWrittenBufferSize(0), 2 * (i + 1));
    }
}

TEST_F(Run, RunIntoThePastDoesNothing) {
    APU_RunToCycle(5000);
    APU_SetTimestamp(1000000);
    EXPECT_EQ(APU_RunToCycle(999999), 0u);
    EXPECT_EQ(APU_GetTimestamp(), 1000000u);
    EXPECT_EQ(APU_RunToCycle(1000000 + 0x80000000u), 0u);
    EXPECT_EQ(APU_GetTimestamp(), 1000000u);
    // A register access at such a cycle still takes effect at once.
    Write(0x4015, 0x01);
    APU_RegWrite(0x4003, 0x08, 10);
    EXPECT_EQ(apu.pulse[0].length, 254);
    EXPECT_EQ(APU_GetTimestamp(), 1000000u);
}

TEST_F(Run, SpansWrapAroundTheCycleCount) {
    APU_SetTimestamp(0xFFFFFF00u);
    APU_RunToCycle(0x100);
    EXPECT_EQ(APU_GetTimestamp(), 0x100u);
    EXPECT_EQ(APU_GetWrittenBufferSize(0), 2u * 12);  // 512 cycles
}

TEST_F(Run, HugeCountdownsNeverOverflowTheSliceLength) {
    APU_SetOutputFormat(1, -1, -1);  // almost two million cycles per sample
    APU_SetEnvironment(-1, -1.0f, 3e38f);
    APU_RunToCycle(7458);  // the step refills the countdown to 3e38
    EXPECT_GT(apu.frameStepCountdown, 1e38f);
    APU_RunToCycle(0x7FFFFFFFu);
    EXPECT_EQ(APU_GetTimestamp(), 0x7FFFFFFFu);
    EXPECT_EQ(APU_FindNextIRQ(), 0xFFFFFFFFu);  // too far to foresee
}

TEST_F(Run, StepEventAndSampleInOneSliceClockBeforeTheSample) {
    // One sample per cycle: the sample of the slice that fires a quarter-frame
    // clock still has the volume from before the clock.
    OneSamplePerCycle();
    Write(0x4011, 64);  // DMC at its zero level
    Write(0x4015, 0x01);
    Write(0x4000, 0x80);  // envelope mode, period 0, half duty
    Write(0x4002, 0x00);
    Write(0x4003, 0x09);  // period 256, volume restarts at 15
    apu.frameStepCountdown = 2.0f;
    auto s = Samples(3);
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[0], 4096);
    EXPECT_EQ(s[1], 4096);  // the slice that fires the clock
    EXPECT_EQ(s[2], 3822);  // volume 14 from the next slice on
}

// One frame of notes that differ with `seed`, across the 2A03 and the
// Namco 163's eight channels: `write(address, value)`, then `run(cycles)`.
template <typename Write, typename RunFor>
void PlayFrame(uint32_t seed, Write write, RunFor run) {
    const uint8_t registers[][2] = {{0x15, 0x0F}, {0x00, 0xBF}, {0x02, static_cast<uint8_t>(seed * 37)},
                                    {0x03, static_cast<uint8_t>(0x08 | (seed & 3))}, {0x08, 0xFF},
                                    {0x0A, static_cast<uint8_t>(seed * 11)}, {0x0B, 0x08}, {0x0C, 0x3F},
                                    {0x0E, static_cast<uint8_t>(seed & 0x8F)}, {0x0F, 0x08}};
    for (const auto &r : registers) write(0x4000 + r[0], r[1]);
    write(0xF800, 0xC0);
    for (uint32_t i = 0; i < 64; i++) write(0x4800, static_cast<uint8_t>(i & 1 ? 0x7F : seed * 8 + i * 3));
    run(29781);
}

// A render on an instance of its own.
struct Render {
    std::unique_ptr<ApuState> state = std::make_unique<ApuState>();
    std::vector<uint8_t> out = std::vector<uint8_t>(1 << 16);
    uint32_t cycle = 0;
    explicit Render(int32_t chip) {
        Initialize(*state);
        SetOutputFormat(*state, 44100, 16, 2);
        SetChannelOptions(*state, 0, -1, -1, -60);
        SetOutputBuffer(*state, out.data(), static_cast<uint32_t>(out.size()));
        Reset(*state, chip);
    }
    void Frame(uint32_t seed) {
        PlayFrame(
            seed, [&](uint16_t address, uint8_t value) { cycle += RegWrite(*state, address, value, cycle) + 3; },
            [&](uint32_t cycles) {
                cycle += cycles;
                cycle += RunToCycle(*state, cycle);
            });
    }
    std::vector<uint8_t> Bytes() const { return {out.begin(), out.begin() + GetWrittenBufferSize(*state, 0)}; }
};

// A whole sample's mean is its sum times the raised inverse of its length,
// truncated: the same as integer division for every length a sample can
// have and sums up to 2^31 in magnitude, above all at exact multiples,
// where a product that fell short would truncate one too low.
TEST(Means, RaisedInverseTruncatesLikeIntegerDivision) {
    const int64_t limit = int64_t{1} << 31;
    for (int64_t length = 1; length <= 65536; length++) {
        const double inverse = RaisedInverse(static_cast<uint32_t>(length));
        const int64_t most = limit / length;
        for (int64_t q : {int64_t{0}, int64_t{1}, int64_t{2}, most / 3, most - 1, most}) {
            for (int64_t sign : {1, -1}) {
                for (int64_t d = -1; d <= 1; d++) {
                    const int64_t sum = sign * (q * length + d);
                    if (sum > limit || sum < -limit) continue;
                    ASSERT_EQ(static_cast<int64_t>(static_cast<double>(sum) * inverse), sum / length)
                        << "sum " << sum << ", length " << length;
                }
            }
        }
        for (int64_t sum : {limit, -limit})
            ASSERT_EQ(static_cast<int64_t>(static_cast<double>(sum) * inverse), sum / length) << "length " << length;
    }
}

// Instances share nothing: two fresh ones rendering different music frame
// by frame, interleaved, each give the bytes they give alone, and the
// process-wide instance behind the exports renders like a fresh one.
TEST(Instances, InterleavedInstancesRenderAsAlone) {
    Render aloneA(16), aloneB(0), a(16), b(0);
    for (uint32_t f = 0; f < 12; f++) aloneA.Frame(f);
    for (uint32_t f = 0; f < 12; f++) aloneB.Frame(f * 7 + 3);
    for (uint32_t f = 0; f < 12; f++) {
        a.Frame(f);
        b.Frame(f * 7 + 3);
    }
    ASSERT_GT(a.Bytes().size(), 30000u);
    EXPECT_EQ(a.Bytes(), aloneA.Bytes());
    EXPECT_EQ(b.Bytes(), aloneB.Bytes());
    EXPECT_NE(a.Bytes(), b.Bytes());

    apu = ApuState{};  // the exports' instance as the library loads it
    std::vector<uint8_t> out(1 << 16);
    APU_Initialize();
    APU_SetOutputFormat(44100, 16, 2);
    APU_SetChannelOptions(0, -1, -1, -60);
    APU_SetOutputBuffer(out.data(), static_cast<uint32_t>(out.size()));
    APU_Reset(16);
    uint32_t cycle = 0;
    for (uint32_t f = 0; f < 12; f++)
        PlayFrame(
            f, [&](uint16_t address, uint8_t value) { cycle += APU_RegWrite(address, value, cycle) + 3; },
            [&](uint32_t cycles) {
                cycle += cycles;
                cycle += APU_RunToCycle(cycle);
            });
    out.resize(APU_GetWrittenBufferSize(0));
    EXPECT_EQ(out, aloneA.Bytes());
}

}  // namespace
}  // namespace pelrin::test
