// The one process-wide state of the sound unit and the records of its
// channels. Everything here is internal; hosts see only pelrin.h.
#pragma once

#include <cstdint>

namespace pelrin {

constexpr int kChannelCount = 19;
constexpr uint32_t kAllChannels = (1u << kChannelCount) - 1;

// Mixer channel indexes.
enum : int {
    kPulse1 = 0, kPulse2 = 1, kTriangle = 2, kNoise = 3, kDmc = 4,
    kVrc6Pulse1 = 5, kVrc6Pulse2 = 6, kVrc6Saw = 7,
    kMmc5Pulse1 = 8, kMmc5Pulse2 = 9, kMmc5Pcm = 10,
    kN163First = 11,
};

enum : uint8_t { kChipNone = 0, kChipVrc6 = 1, kChipMmc5 = 8, kChipN163 = 16 };

// Sums are 64-bit so that frames held back while the buffer is full never
// wrap; while nothing overflows they equal 32-bit sums.
using Sum = int64_t;

// A channel's output: its level for each volume or wave step on each side,
// the host's volume and pan folded in, and the sums of level times cycles
// since the last sample boundary.
template <int Levels>
struct ChannelOutput {
    int16_t levelLeft[Levels];
    int16_t levelRight[Levels];
    Sum sumLeft;
    Sum sumRight;
};

// The volume envelope of the pulse and noise channels.
struct Envelope {
    uint8_t volume;   // the level the channel sounds at
    uint8_t decay;
    uint8_t mode;     // 1: the volume follows the decay; 0: it is constant
    uint8_t loop;     // the decay restarts at 15 (also halts the length)
    uint8_t period;
    uint8_t divider;
};

// 2A03 and MMC5 pulse.
struct PulseChannel {
    uint16_t period;
    int32_t timer;
    uint8_t lengthCounting;
    uint8_t length;
    uint8_t enabled;
    Envelope envelope;
    uint8_t sweepNegateExtra;
    uint8_t sweepEnabled;
    uint8_t muted;
    uint8_t sweepNegate;
    uint8_t sweepShift;
    uint8_t sweepPeriod;
    uint8_t sweepDivider;
    uint8_t dutySteps;
    uint8_t step;
    ChannelOutput<16> output;
};

struct TriangleChannel {
    uint8_t step;
    uint8_t linearReload;
    uint8_t linearCounter;
    uint8_t linearActive;
    uint8_t control;
    uint8_t linearStartPending;
    uint16_t period;
    int32_t timer;
    uint8_t lengthCounting;
    uint8_t length;
    uint8_t enabled;
    ChannelOutput<32> output;
};

struct NoiseChannel {
    uint16_t period;
    int32_t timer;
    uint8_t lengthCounting;
    uint8_t length;
    uint8_t enabled;
    Envelope envelope;
    uint16_t shiftRegister;
    uint8_t tapShift;
    uint8_t outputBit;
    // Rounded-up reciprocal of `reciprocalOf` (a period) for dividing run
    // lengths below 2^31 by it (channels/noise.cpp); recomputed when the
    // period differs.
    uint16_t reciprocalOf;
    uint8_t reciprocalShift;
    uint32_t reciprocal;
    // Where the register's low 15 bits sit in the tables of their mode
    // (channels/noise.cpp), kept for the next segment: looking it up again
    // is a miss in a 64 KiB table. Valid while `tableTap` is the tap and
    // `tableRegister` the low bits.
    uint8_t tableTap = 0;
    uint16_t tableRegister = 0;
    uint16_t tableIndex = 0;
    uint16_t tableCycle = 0;
    ChannelOutput<16> output;
    // The means of whole samples for each count of sounding cycles, at the
    // levels and sample lengths they were made for (channels/noise.cpp).
    static constexpr uint32_t kMeanCycles = 256;
    static constexpr uint32_t kMeanRow = kMeanCycles + 2;
    int32_t mean[2 * kMeanRow][2];  // [length % 2 * kMeanRow + sounding cycles][side]
    int32_t meanLevelLeft;
    int32_t meanLevelRight;
    uint32_t meanShortest;  // 0: none made
};

struct DmcChannel {
    uint8_t irqEnabled;
    uint8_t irqFlag;
    uint8_t loop;
    uint8_t active;
    uint16_t period;
    int32_t timer;
    uint8_t level;
    uint8_t mixLevel;
    uint8_t bank;
    uint16_t offset;
    uint8_t startBank;
    uint16_t startOffset;
    const uint8_t *dmaPointers[8];
    uint8_t shifter;
    uint8_t bitsLeft;
    uint16_t bytesLeft;
    uint16_t sampleLength;
    float dmcAttenuation[128];
    ChannelOutput<128> output;
    uint8_t dmcRampOption;
    uint8_t rampTarget;
    int32_t rampCountdown;
};

struct Vrc6PulseChannel {
    uint16_t period;
    int32_t timer;
    uint8_t enabled;
    uint8_t directMode;
    uint8_t step;
    uint8_t duty;
    uint8_t volume;
    ChannelOutput<16> output;
};

struct Vrc6SawChannel {
    uint16_t period;
    int32_t timer;
    uint8_t enabled;
    uint8_t rate;
    uint8_t accumulator;
    uint8_t step;
    ChannelOutput<32> output;
};

struct Mmc5PcmChannel {
    uint8_t enabled;
    uint8_t value;
    ChannelOutput<256> output;
};

struct N163State {
    uint8_t ram[128];
    uint8_t address;
    uint8_t autoIncrement;
    uint8_t channelCountCode;
    uint8_t waveStart[8];
    uint8_t waveStartHigh[8];
    uint8_t wavePosition[8];
    uint8_t waveLength[8];
    uint8_t readAddress[8];
    uint8_t readHigh[8];
    float stepCountdown[8];
    uint32_t frequency[8];
    uint8_t volume[8];
    uint8_t sample[8];
    float stepConstant[8];
    int16_t levelLeft[8][16][16];
    int16_t levelRight[8][16][16];
    Sum sumLeft[8];
    Sum sumRight[8];
    // Each channel's step length, the step constant over the frequency,
    // with the two it was divided from (0: none yet).
    double stepLength[8];
    double lengthConstant[8];
    uint32_t lengthFrequency[8];
};

// A sample length with its rounded-up reciprocal (core/mixer.cpp).
struct Divisor {
    int64_t cycles;
    uint64_t factor;  // 0 until computed
    uint32_t shift;
    uint8_t exact;    // the reciprocal applies (cycles < 2^32)
};

// The run loop's plan of a segment: a stretch of a span in which no
// frame-sequencer step that a channel hears falls, with its sample
// boundaries (core/segment.h). At most a little over a 60 Hz frame's
// samples at 44.1 kHz: a music engine's frame then takes about two.
constexpr uint32_t kSegmentSamples = 1024;
// Entries past the last boundary, laid out as kPastTheSegment, so that the
// next few boundaries can be compared all at once.
constexpr uint32_t kBoundarySlack = 8;
constexpr uint32_t kPastTheSegment = 0x7FFFFFFF;  // segments are shorter than 2^31 cycles
constexpr uint32_t kMostCuts = 32;  // frame steps a Namco 163 segment runs past

struct Segment {
    uint32_t length;                  // cycles
    uint32_t samples;                 // sample boundaries within (0, length]
    uint32_t last;                    // offset of the last boundary (0 when none)
    bool carried;                     // the first sample began before the segment
    bool laidOut;                     // `end` and `divisor` hold every sample
    int64_t first;                    // boundary k is at ceil((first + k * period) / 2^shift)
    int64_t period;
    int shift;
    uint32_t shortest;                // the shorter of the two whole sample lengths
    double inverse[2];                // RaisedInverse of the two whole lengths (core/segment.h)
    double periodInverse;             // 1 / period, once laid out
    uint32_t end[kSegmentSamples + kBoundarySlack];  // offset of each boundary
    Divisor divisors[3];              // the first sample's length, then the two others
    // With the Namco 163: the frame steps the segment runs past, as offsets
    // within (0, length), in order. Its runs end there, as the slice loop's do.
    uint32_t cutCount;
    uint32_t cuts[kMostCuts];
};

// Each lane has room for seven entries past its last sample: a held level
// is added eight samples at a time, adding 0 past the stretch.
constexpr uint32_t kLaneSlack = 8;

// Per-sample sums of the channels' means: the triangle and noise apart,
// since the DMC's level attenuates them. A channel whose level holds over
// the whole segment adds to the constant instead.
struct MixLanes {
    int32_t left[2][kSegmentSamples + kLaneSlack];  // [0] triangle and noise, [1] the rest
    int32_t right[2][kSegmentSamples + kLaneSlack];
    int32_t constantLeft[2];
    int32_t constantRight[2];
    int32_t headLeft[2];                // added to the first sample only
    int32_t headRight[2];
    uint8_t dmcLevel[kSegmentSamples];  // the DMC's mix level at each boundary
    uint8_t dmcLevelHeld;               // ... or this one for all of them
    bool dmcLevelVaries;
    bool varies;                        // some lane entry is in use
    bool stereo;                        // the right lanes are in use; else the left ones serve both sides
    bool triangleNoiseShared;           // stereo, but the triangle and noise are alike on both sides:
                                        // their left lane serves the right side too
    bool narrow = false;                // 16-bit frames mix four at a time even where AVX2 allows
                                        // eight (the same bytes; tests compare the two)
};

// Cache-line aligned, wherever an instance lives: the lanes and boundaries
// stream through the runners and the mix in whole lines.
struct alignas(64) ApuState {
    // Output and environment block, with its load-time values.
    uint32_t sampleRate = 44100;
    uint8_t bitsPerSample = 16;
    uint8_t channelCount = 1;
    uint8_t bytesPerFrame = 2;
    uint8_t frameStepLimit = 3;
    uint8_t frameIrqEnabled = 1;
    float frameStepPeriod = 7457.5f;
    float frameStepCountdown = 7457.5f;
    float cpuClock = 1789772.75f;
    float masterVolume = 1.0f;
    uint64_t fillMark = 2;  // 64-bit: a buffer near 4 GiB must not wrap it
    float cyclesPerSample = static_cast<float>(1789772.75 / 44100.0);
    float sampleCountdown = static_cast<float>(1789772.75 / 44100.0);
    uint8_t regionOffset = 0;

    // Host buffer and write position.
    uint8_t *bufferBase = nullptr;
    uint32_t bufferSize = 0;
    uint8_t *OutputCursor = nullptr;
    int64_t sampleCycles = 0;
    Divisor mixDivisors[2] = {};  // the last two sample lengths

    // Mixer options.
    uint8_t channelEnabled[kChannelCount] = {};
    uint8_t channelVolume[kChannelCount] = {};
    int8_t channelPan[kChannelCount] = {};
    uint8_t triangleShape = 0;
    uint32_t unevenSides = 0;  // channels whose levels differ between left and right

    // Clock and frame sequencer.
    uint32_t timestamp = 0;
    // Cycles before the timestamp that are not run yet: only writes that
    // changed nothing came in them (core/registers.cpp). The operations
    // whose results depend on them run them first (RunDeferred);
    // FindNextIRQ counts them instead.
    uint32_t deferredCycles = 0;
    uint8_t frameStep = 0;
    uint8_t frameIrqFlag = 0;

    uint8_t expansionChip = 0;

    PulseChannel pulse[2] = {};
    TriangleChannel triangle = {};
    NoiseChannel noise = {};
    DmcChannel dmc = {};
    Vrc6PulseChannel vrc6Pulse[2] = {};
    Vrc6SawChannel vrc6Saw = {};
    PulseChannel mmc5Pulse[2] = {};
    Mmc5PcmChannel mmc5Pcm = {};
    N163State n163 = {};

    // Working space of the run loop, kept here so that every instance runs
    // on its own; nothing in it outlives a call except the divisor cache.
    Segment segment = {};
    MixLanes lanes = {};
    Divisor sampleDivisors[2] = {};  // the two whole lengths of a sample
    double sampleInverses[2] = {};   // ... and their raised inverses, where WholeSamplesFast
};

extern ApuState apu;

// Level tables (frame/levels.cpp).
void RebuildLevelTables(ApuState &apu, uint32_t mask);

// Output buffer (frame/output.cpp).
void RewindOutputBuffer(ApuState &apu);
void SetNamcoStepConstants(ApuState &apu);

// Frame sequencer (core/sequencer.cpp).
void QuarterFrameClock(ApuState &apu);
void StepEvent(ApuState &apu);  // the step countdown ran out
// How many of the next step events, up to `most`, leave every channel
// sounding as it does (each one tried on copies, after those before it).
uint32_t QuietSteps(const ApuState &apu, uint32_t most);
void WriteFrameCounter(ApuState &apu, uint8_t v);
uint32_t FrameIrqDistance(ApuState &apu);  // cycles to the next frame interrupt, or 0xFFFFFFFF

// Mixer (core/mixer.cpp).
void MixSample(ApuState &apu);

// Run loop (core/run.cpp). RunDeferred runs the deferred cycles and returns
// their stalls (none: nothing is deferred while the DMC is active).
// RunsUnsplit: whether `cycles` from where the run stands would run in the
// planned path without a frame step and without filling the buffer, where
// one run or several give the same.
// RunsWhole: whether the channels give the same bytes over a stretch run in
// one piece as run in several, wherever it is cut. StepsPassable: whether
// a segment may run past frame steps that no channel hears (the Namco 163's
// runs then end at them within the segment).
uint32_t RunDeferred(ApuState &apu);
bool RunsWhole(const ApuState &apu);
bool StepsPassable(const ApuState &apu);
bool RunsUnsplit(const ApuState &apu, uint64_t cycles);

// One clock of an envelope's divider.
inline void ClockEnvelope(Envelope &e) {
    if (e.divider != 0) {
        e.divider--;
        return;
    }
    e.divider = e.period;
    if (e.decay != 0)
        e.decay--;
    else if (e.loop != 0)
        e.decay = 15;
    if (e.mode == 1) e.volume = e.decay;
}

// The $4000/$4004/$400C control byte: envelope loop (also the length
// halt), constant volume or envelope period.
template <typename Channel>
inline void WriteEnvelopeControl(Channel &c, uint8_t v) {
    Envelope &e = c.envelope;
    e.loop = v & 0x20;
    c.lengthCounting = (v & 0x20) ? 0 : 1;
    e.mode = (v & 0x10) ? 0 : 1;
    if (e.mode) {
        e.period = v & 15;
        e.volume = e.decay;
    } else {
        e.volume = v & 15;
    }
}

// Cycles of a run of `cycles` that pass before a countdown standing at
// `timer` runs out (0 when it already has).
inline uint32_t CyclesBefore(int32_t timer, uint32_t cycles) {
    if (timer <= 0) return 0;
    return static_cast<uint32_t>(timer) < cycles ? static_cast<uint32_t>(timer) : cycles;
}

// Runs a channel timer over `cycles`: `stretch(n)` for each run of n cycles
// without an expiry (n may be 0 when the timer has already run out), and at
// each expiry `expire()`, which returns the reloaded timer. Returns the timer
// left at the end. Each pass reaches the next expiry or the end.
template <typename Stretch, typename Expire>
inline int32_t RunTimer(int32_t timer, uint32_t cycles, Stretch stretch, Expire expire) {
    while (cycles != 0) {
        const uint32_t n = CyclesBefore(timer, cycles);
        stretch(n);
        timer -= static_cast<int32_t>(n);
        cycles -= n;
        if (timer <= 0) timer = expire();
    }
    return timer;
}

// Moves a timer n cycles along a stretch no one watches: returns how many
// times it expired (each expiry adding `reload`), as RunTimer would count.
inline uint64_t AdvanceTimer(int32_t &timer, uint32_t n, uint32_t reload) {
    int64_t t = (timer > 0 ? timer : 0) - static_cast<int64_t>(n);
    uint64_t expiries = 0;
    if (t <= 0) {
        const uint64_t deficit = static_cast<uint64_t>(-t);
        expiries = (deficit < 0x100000000u ? static_cast<uint32_t>(deficit) / reload : deficit / reload) + 1;
        t += static_cast<int64_t>(expiries * reload);
    }
    timer = static_cast<int32_t>(t);
    return expiries;
}

// Length-counter clock of the triangle and noise.
template <typename Channel>
inline void ClockLength(Channel &c) {
    if (c.length != 0 && c.lengthCounting != 0) c.length--;
}

extern const uint8_t LengthTable[32];

// Channels (channels/).
void IntegratePulse(PulseChannel &c, uint32_t cycles);
void ClockPulseHalfFrame(PulseChannel &c);
void UpdateSweepMute(PulseChannel &c);
void WritePulse(PulseChannel &c, unsigned reg, uint8_t v);
void WritePulseControl(PulseChannel &c, uint8_t v);
void WritePulseLengthAndHighPeriod(PulseChannel &c, uint8_t v);

void IntegrateTriangle(TriangleChannel &c, uint32_t cycles);
void ClockLinearCounter(TriangleChannel &c);
void WriteTriangle(TriangleChannel &c, unsigned reg, uint8_t v);

void IntegrateNoise(NoiseChannel &c, uint32_t cycles);
void WriteNoise(NoiseChannel &c, unsigned reg, uint8_t v);

uint32_t IntegrateDmc(DmcChannel &c, uint32_t cycles);
void WriteDmc(DmcChannel &c, unsigned reg, uint8_t v, uint8_t regionOffset);
void StartDmc(DmcChannel &c);
void BuildDmcAttenuation(DmcChannel &c);

void WriteStatus(ApuState &apu, uint8_t v);

// Expansion chips (expansion/).
void IntegrateVrc6Pulse(Vrc6PulseChannel &c, uint32_t cycles);
void IntegrateVrc6Saw(Vrc6SawChannel &c, uint32_t cycles);
void WriteVrc6(ApuState &apu, uint16_t address, uint8_t v);

void IntegrateMmc5Pcm(Mmc5PcmChannel &c, uint32_t cycles);
void WriteMmc5(ApuState &apu, uint16_t address, uint8_t v);

void IntegrateN163(N163State &s, uint32_t cycles);
void WriteN163(N163State &s, uint16_t address, uint8_t v);
uint8_t ReadN163Data(N163State &s);

}  // namespace pelrin
