// Differential driver: the same decoded host calls go to the library (on
// pelrin::apu) and to the reference (on a state of its own, swapped into
// pelrin::apu for each of its calls); every result is compared.
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "frame/state.h"
#include "pelrin.h"
#include "reference/reference.h"

namespace pelrin_ref {

namespace {

using pelrin::ApuState;

// Reads the call stream; zeros once the bytes run out.
struct Source {
    const uint8_t *p;
    const uint8_t *end;
    bool Empty() const { return p >= end; }
    uint32_t Byte() { return p < end ? *p++ : 0u; }
    uint32_t Word() { return Byte() | Byte() << 8 | Byte() << 16 | Byte() << 24; }
    uint32_t Below(uint32_t n) { return n <= 256 ? Byte() % n : Word() % n; }
};

struct Api {
    uint32_t (*run)(uint32_t);
    uint32_t (*write)(uint32_t, uint32_t, uint32_t);
    uint32_t (*read)(uint32_t, uint8_t *, uint32_t);
    uint32_t (*nextIrq)();
};

uint32_t LibRun(uint32_t c) { return APU_RunToCycle(c); }
uint32_t LibWrite(uint32_t a, uint32_t v, uint32_t c) { return APU_RegWrite(a, v, c); }
uint32_t LibRead(uint32_t a, uint8_t *d, uint32_t c) { return APU_RegRead(a, d, c); }
uint32_t LibIrq() { return APU_FindNextIRQ(); }

const Api kLibrary{LibRun, LibWrite, LibRead, LibIrq};
const Api kReference{RunToCycle, RegWrite, RegRead, FindNextIRQ};

// Sample memory shared by both sides (read only).
uint8_t rom[8][4096];

struct Side {
    std::vector<uint8_t> buffer;
    uint32_t checked = 0;  // bytes already compared
};

ApuState referenceState;

// One pass of the comparison over a decoded stream.
class Driver {
public:
    Driver(const uint8_t *bytes, size_t size, std::string *why) : in_{bytes, bytes + size}, why_(why) {}

    bool Run() {
        pelrin::apu = ApuState{};
        referenceState = ApuState{};
        const uint32_t fill = in_.Word();
        // One stream in four mixes four frames at a time, as without AVX2.
        if (fill % 4 == 0) pelrin::apu.lanes.narrow = true;
        for (int b = 0; b < 8; b++)
            for (int i = 0; i < 4096; i++) rom[b][i] = static_cast<uint8_t>((fill * 2654435761u + b * 4099u + i) * 40503u >> 7);
        Both([](const Api &, Side &) -> uint64_t { APU_Initialize(); return 0; });
        SetBuffer(in_.Below(4) == 0 ? 0 : 16384);
        const uint32_t banks = in_.Byte();
        for (int b = 0; b < 8; b++)
            if (banks & (1u << b)) SetDma(b, rom[b]);
        Both([](const Api &, Side &) -> uint64_t { return static_cast<uint32_t>(APU_Reset(PELRIN_CHIP_NONE)); });
        if (in_.Below(16) == 0) StartNamcoMusic();
        int step = 0;
        while (!in_.Empty() && ok_) {
            step_ = step++;
            Call();
            if (ok_) Observe();
        }
        return ok_;
    }

private:
    Source in_;
    std::string *why_;
    bool ok_ = true;
    int step_ = -1;
    uint32_t cycle_ = 0;
    double slicesRun_ = 0;  // keeps each stream's rendering time bounded
    int chip_ = 0;
    bool namcoMusic_ = false;  // StartNamcoMusic
    uint32_t namcoChannels_ = 1;
    uint8_t last_[0x18] = {};  // the last value written to each 2A03 register
    Side lib_, ref_;

    // Runs `call` on the library, then on the reference, and compares results.
    template <typename Call>
    uint64_t Both(Call call, const char *what = "call") {
        const uint64_t a = call(kLibrary, lib_);
        std::swap(pelrin::apu, referenceState);
        const uint64_t b = call(kReference, ref_);
        std::swap(pelrin::apu, referenceState);
        if (a != b) Fail(what, a, b);
        return a;
    }

    void Fail(const char *what, uint64_t a, uint64_t b) {
        if (ok_ && why_ != nullptr)
            *why_ = "call " + std::to_string(step_) + ": " + what + ": library " + std::to_string(a) +
                    ", reference " + std::to_string(b);
        ok_ = false;
    }

    void SetBuffer(uint32_t size) {
        lib_.buffer.assign(size, 0xA5);
        ref_.buffer.assign(size, 0xA5);
        lib_.checked = ref_.checked = 0;
        Both([size](const Api &, Side &s) -> uint64_t {
            APU_SetOutputBuffer(size != 0 ? s.buffer.data() : nullptr, size);
            return 0;
        });
    }

    void SetDma(int bank, const uint8_t *memory) {
        Both([bank, memory](const Api &, Side &) -> uint64_t { APU_SetDMAPointer(bank, memory); return 0; });
    }

    // Everything a host can see without changing anything: interrupt
    // distance, timestamp, bytes written and the new bytes themselves.
    void Observe() {
        Both([](const Api &a, Side &) -> uint64_t { return a.nextIrq(); }, "APU_FindNextIRQ");
        Both([](const Api &, Side &) -> uint64_t { return APU_GetTimestamp(); }, "APU_GetTimestamp");
        const uint64_t written =
            Both([](const Api &, Side &) -> uint64_t { return APU_GetWrittenBufferSize(0); }, "written size");
        if (!ok_) return;
        if (written < lib_.checked) lib_.checked = ref_.checked = 0;  // rewound
        const size_t end = written < lib_.buffer.size() ? written : lib_.buffer.size();
        for (size_t i = lib_.checked; i < end; i++)
            if (lib_.buffer[i] != ref_.buffer[i]) return Fail("output byte", lib_.buffer[i], ref_.buffer[i]);
        lib_.checked = ref_.checked = static_cast<uint32_t>(end);
        // The Namco 163's countdowns and waves: a countdown off by a last
        // place may show only much later.
        const pelrin::N163State &l = pelrin::apu.n163, &r = referenceState.n163;
        if (std::memcmp(l.stepCountdown, r.stepCountdown, sizeof l.stepCountdown) != 0 ||
            std::memcmp(l.wavePosition, r.wavePosition, sizeof l.wavePosition) != 0 ||
            std::memcmp(l.readAddress, r.readAddress, sizeof l.readAddress) != 0 ||
            std::memcmp(l.readHigh, r.readHigh, sizeof l.readHigh) != 0 ||
            std::memcmp(l.sample, r.sample, sizeof l.sample) != 0)
            Fail("Namco 163 channel state", 0, 1);
    }

    void CompareWholeBuffers() {
        if (lib_.buffer != ref_.buffer) Fail("bytes beyond the written ones", 0, 1);
    }

    // The cycle of the next call: mostly a short way on, sometimes a frame
    // or more, rarely the past or 2^31 and more ahead (both run nothing; the
    // host's own count stays). Long spans stop once the stream has run its
    // budget of slices, the run loop's unit of work.
    uint32_t Target() {
        const uint32_t kind = in_.Below(16);
        uint32_t d;
        if (kind < 6) d = in_.Below(64);
        else if (kind < 10) d = in_.Below(1024);
        else if (kind < 13) d = in_.Below(30000);
        else if (kind < 14) d = in_.Below(200000);
        else if (kind < 15) return cycle_ - in_.Below(100);
        else if (in_.Below(4) == 0) return pelrin::apu.timestamp + 0x80000000u + in_.Below(1000);
        else d = in_.Below(4) == 0 ? in_.Below(3000000) : in_.Below(60000);
        const uint32_t span = cycle_ + d - pelrin::apu.timestamp;
        if (span < 0x80000000u) {
            const float slice = std::fmin(pelrin::apu.cyclesPerSample, pelrin::apu.frameStepPeriod);
            if (slicesRun_ > 60000.0) d %= 64;
            slicesRun_ += (cycle_ + d - pelrin::apu.timestamp) / std::fmax(1.0, slice);
        }
        cycle_ += d;
        return cycle_;
    }

    uint32_t Address() {
        static const uint16_t kVrc6[] = {0x9000, 0x9001, 0x9002, 0xA000, 0xA001, 0xA002, 0xB000, 0xB001, 0xB002, 0x9003};
        static const uint16_t kMmc5[] = {0x5000, 0x5002, 0x5003, 0x5004, 0x5006, 0x5007, 0x5010, 0x5011, 0x5015, 0x5001};
        const uint32_t kind = in_.Below(8);
        if (kind == 0) return in_.Word();  // anything, even bits above 16
        if (kind < 5 || chip_ == 0) return 0x4000 + in_.Below(0x18);
        if (chip_ == 1) return kVrc6[in_.Below(10)];
        if (chip_ == 8) return kMmc5[in_.Below(10)];
        if (chip_ == 16) return in_.Below(3) == 0 ? 0xF800 : 0x4800;
        return 0x4000 + in_.Below(0x18);
    }

    uint32_t Value(uint32_t address) {
        const uint32_t v = in_.Byte();
        // Useful values more often: enables, a DMC start, N163 registers.
        if (address == 0x4015 && in_.Below(2)) return v | 0x1F;
        if (address == 0xF800 && in_.Below(2)) return 0x80 | (0x40 + (v & 0x3F));
        if (in_.Below(8) == 0) return 0;
        // A music engine's habits, half the time: constant volume with the
        // length halted, the sweep off (the frame clocks then change nothing
        // that sounds), and a triangle whose linear counter soon runs out.
        if (in_.Below(2)) {
            if (address == 0x4000 || address == 0x4004 || address == 0x400C || address == 0x5000 || address == 0x5004)
                return v | 0x30;
            if (address == 0x4001 || address == 0x4005) return v & 0x7F;
            if (address == 0x4008) return v & 0x87;  // a short linear count that runs out
        }
        return v;
    }

    void Write(uint32_t address, uint32_t value) {
        if (address >= 0x4000 && address <= 0x4017) last_[address - 0x4000] = static_cast<uint8_t>(value);
        const uint32_t at = Target();
        cycle_ += static_cast<uint32_t>(
            Both([&](const Api &a, Side &) -> uint64_t { return a.write(address, value, at); }, "APU_RegWrite"));
    }

    // A music engine's frame: the pulses', triangle's and noise's control
    // and period written again a few cycles apart, mostly with the values
    // they hold (the library defers writes that change nothing).
    void Rewrite() {
        if (chip_ == 16 && in_.Below(2)) {
            // A Namco 163 engine's frame: new frequencies for a few channels,
            // mostly low enough that their steps lie samples apart.
            for (uint32_t n = 1 + in_.Below(3); n != 0; n--) {
                const uint32_t base = 0x40 + 8 * (7 - in_.Below(8));
                uint32_t low = in_.Byte(), high = in_.Below(4) == 0 ? in_.Byte() : in_.Below(48);
                if (namcoMusic_ && in_.Below(2)) {
                    // Steps a little longer than a power of two cycles: a
                    // countdown off the step length's grid stays off it.
                    const double length = std::ldexp(1.0 + in_.Below(256) / 1024.0, 6 + static_cast<int>(in_.Below(3)));
                    const auto frequency = static_cast<uint32_t>(1789772.75 * 0.5492542 * namcoChannels_ / length);
                    low = frequency & 0xFF;
                    high = (frequency >> 8) & 0xFF;
                }
                Write(0xF800, 0x80 | base);
                Write(0x4800, low);
                Write(0xF800, 0x80 | (base + 2));
                Write(0x4800, high);
            }
            return;
        }
        static const uint32_t kRegisters[] = {0x4000, 0x4002, 0x4004, 0x4006, 0x4008, 0x400A, 0x400C, 0x400E};
        for (uint32_t n = 1 + in_.Below(8); n != 0; n--) {
            const uint32_t address = kRegisters[in_.Below(8)];
            Write(address, in_.Below(6) == 0 ? in_.Byte() : last_[address - 0x4000]);
        }
    }

    // A group of writes that makes a channel sound: one 2A03 channel's four
    // registers, a VRC6 unit, an MMC5 pulse, or Namco 163 channel registers
    // and wave bytes through the auto-incrementing address.
    void Burst() {
        if (chip_ == 16 && in_.Below(3) != 0) {
            const bool wave = in_.Below(3) == 0;
            const uint32_t channel = 7 - in_.Below(8);
            Write(0xF800, 0x80 | (wave ? in_.Below(64) : 0x40 + channel * 8));
            for (int i = 0; i < 8; i++) {
                uint32_t v = in_.Byte();
                if (!wave && i == 7 && in_.Below(2)) v |= 0x0F;  // loud enough to hear
                Write(0x4800, v);
            }
        } else if (chip_ == 1 && in_.Below(2)) {
            const uint32_t unit = 0x9000 + 0x1000 * in_.Below(3);
            for (uint32_t r = 0; r < 3; r++) Write(unit + r, r == 2 ? in_.Byte() | 0x80 : in_.Byte());
        } else if (chip_ == 8 && in_.Below(2)) {
            const uint32_t base = in_.Below(3) == 0 ? 0x5010 : 0x5000 + 4 * in_.Below(2);
            if (base == 0x5010) {
                Write(0x5010, 1);
                Write(0x5011, in_.Byte());
            } else {
                Write(0x5015, 3);
                for (uint32_t r : {0u, 2u, 3u}) Write(base + r, in_.Byte());
            }
        } else {
            const uint32_t base = 0x4000 + 4 * in_.Below(5);
            Write(0x4015, 0x0F | in_.Byte());
            for (uint32_t r = 0; r < 4; r++) Write(base + r, in_.Byte());
        }
    }

    float Clock() {
        switch (in_.Below(8)) {
            case 0: return 1662607.125f;
            case 1: return static_cast<float>(100000 + in_.Below(16000000));
            case 2: return static_cast<float>(in_.Word()) / 128.0f;
            case 3: return in_.Below(2) ? -1.0f : std::numeric_limits<float>::quiet_NaN();
            default: return 1789772.75f;
        }
    }

    float StepPeriod() {
        switch (in_.Below(10)) {
            case 0: return 8313.0f;
            case 1: return 1.0f + static_cast<float>(in_.Below(20000)) / 4.0f;
            case 2: return in_.Below(2) ? 1e9f : 3e30f;
            case 3: return in_.Below(2) ? std::numeric_limits<float>::infinity() : -5.0f;
            case 4: return 0.5f;
            default: return 7457.5f;
        }
    }

    int32_t Rate() {
        static const int32_t kRates[] = {8000, 11025, 22050, 44100, 48000, 96000, 192000, 12345, 1, 0, -3};
        if (in_.Below(3) == 0) return static_cast<int32_t>(8000 + in_.Below(184001));
        return kRates[in_.Below(11)];
    }

    // One stream in sixteen: Namco 163 channels whose steps lie samples
    // apart, frame steps a few samples apart (which cut its runs where the
    // 2A03 does not hear them), and frequency changes between the runs.
    void StartNamcoMusic() {
        namcoMusic_ = true;
        chip_ = 16;
        Both([](const Api &, Side &) -> uint64_t { return static_cast<uint32_t>(APU_Reset(16)); }, "APU_Reset");
        const float step = static_cast<float>(20 + in_.Below(400)) + (in_.Below(2) ? 0.5f : 0.0f);
        Both([step](const Api &, Side &) -> uint64_t { APU_SetEnvironment(0, 1789772.75f, step); return 0; });
        if (in_.Below(2)) {
            // A pulse whose envelope decays: the steps that change its
            // volume are heard and end segments, the others cut them.
            Write(0x4015, 0x01);
            Write(0x4000, in_.Below(16));
            Write(0x4002, in_.Byte());
            Write(0x4003, 0xF8 | in_.Below(8));
        }
        Write(0xF800, 0x80);
        for (int i = 0; i < 64; i++) Write(0x4800, in_.Byte());
        const uint32_t count = in_.Below(8);
        namcoChannels_ = count + 1;
        for (uint32_t c = 0; c <= count; c++) {
            Write(0xF800, 0x80 | (0x40 + 8 * (7 - c)));
            const uint8_t regs[8] = {static_cast<uint8_t>(in_.Byte()), 0, static_cast<uint8_t>(in_.Below(48)), 0,
                                     static_cast<uint8_t>(in_.Below(64) << 2), 0, static_cast<uint8_t>(in_.Byte()),
                                     static_cast<uint8_t>(c == 0 ? (count << 4) | 0x0F : 0x0F)};
            for (uint8_t r : regs) Write(0x4800, r);
        }
    }

    void Call() {
        if (namcoMusic_ && in_.Below(4) != 0) {
            const uint32_t kind = in_.Below(8);
            if (kind < 3) {
                Rewrite();
            } else if (kind < 7) {
                const uint32_t at = Target();
                cycle_ += static_cast<uint32_t>(Both([&](const Api &a, Side &) -> uint64_t { return a.run(at); },
                                                     "APU_RunToCycle"));
            } else {
                // The host collects the bytes: the buffer never fills.
                CompareWholeBuffers();
                Both([](const Api &, Side &) -> uint64_t { return APU_GetWrittenBufferSize(1); },
                     "APU_GetWrittenBufferSize");
            }
            return;
        }
        const uint32_t op = in_.Below(32);
        if (op < 9) {
            const uint32_t address = Address(), value = Value(address);
            Write(address, value);
        } else if (op < 11) {
            Burst();
        } else if (op < 12) {
            Rewrite();
        } else if (op < 15) {
            static const uint32_t kReads[] = {0x4015, 0x4017, 0x4800, 0x4016};
            const uint32_t address = in_.Below(5) == 0 ? in_.Word() : kReads[in_.Below(4)];
            const uint8_t initial = static_cast<uint8_t>(in_.Byte());
            const bool null = in_.Below(8) == 0;
            const uint32_t at = Target();
            const uint64_t r = Both(
                [&](const Api &a, Side &) -> uint64_t {
                    uint8_t data = initial;
                    const uint32_t stalls = a.read(address, null ? nullptr : &data, at);
                    return static_cast<uint64_t>(stalls) << 8 | data;
                },
                "APU_RegRead");
            cycle_ += static_cast<uint32_t>(r >> 8);
        } else if (op < 20) {
            const uint32_t at = Target();
            cycle_ += static_cast<uint32_t>(Both([&](const Api &a, Side &) -> uint64_t { return a.run(at); },
                                                 "APU_RunToCycle"));
        } else if (op < 22) {
            const int32_t rewind = static_cast<int32_t>(in_.Below(3));
            CompareWholeBuffers();
            Both([rewind](const Api &, Side &) -> uint64_t { return APU_GetWrittenBufferSize(rewind); },
                 "APU_GetWrittenBufferSize");
        } else if (op == 22) {
            CompareWholeBuffers();
            Both([](const Api &, Side &) -> uint64_t { APU_ResetOutputBuffer(); return 0; });
        } else if (op == 23) {
            static const int32_t kBits[] = {8, 16, 16, 12};
            const int32_t rate = Rate(), bits = kBits[in_.Below(4)], channels = static_cast<int32_t>(in_.Below(4));
            Both([=](const Api &, Side &) -> uint64_t { APU_SetOutputFormat(rate, bits, channels); return 0; });
        } else if (op == 24) {
            const int32_t region = static_cast<int32_t>(in_.Below(3)) - 1;
            const float clock = Clock(), step = StepPeriod();
            Both([=](const Api &, Side &) -> uint64_t { APU_SetEnvironment(region, clock, step); return 0; });
        } else if (op == 25) {
            static const float kVolumes[] = {1.0f, 0.5f, 2.0f, 0.0f, -1.0f, 300.0f, 1.75f};
            const float volume = kVolumes[in_.Below(7)];
            const int32_t ramp = static_cast<int32_t>(in_.Below(3)) - 1, shape = static_cast<int32_t>(in_.Below(3)) - 1;
            Both([=](const Api &, Side &) -> uint64_t { APU_Configure(volume, ramp, shape); return 0; });
        } else if (op < 28) {
            const int32_t index = static_cast<int32_t>(in_.Below(21)) - 1;
            const int32_t enable = static_cast<int32_t>(in_.Below(3)) - 1;
            const int32_t volume = in_.Below(3) == 0 ? -1 : static_cast<int32_t>(in_.Below(257));
            // One pan in four is the centre, so that channels often come
            // back to alike sides while the others stay panned.
            const int32_t pan = in_.Below(4) == 0 ? 0 : static_cast<int32_t>(in_.Below(257)) - 128;
            Both([=](const Api &, Side &) -> uint64_t { APU_SetChannelOptions(index, enable, volume, pan); return 0; });
        } else if (op == 28) {
            static const int32_t kChips[] = {0, 1, 8, 16, 1, 8, 16, 2, 32, 7};
            const int32_t chip = kChips[in_.Below(10)];
            chip_ = chip == 1 || chip == 8 || chip == 16 ? chip : 0;
            cycle_ = 0;
            Both([chip](const Api &, Side &) -> uint64_t { return static_cast<uint32_t>(APU_Reset(chip)); }, "APU_Reset");
            lib_.checked = ref_.checked = 0;
        } else if (op == 29) {
            const uint32_t cycle = Target();
            cycle_ = cycle;
            Both([cycle](const Api &, Side &) -> uint64_t { APU_SetTimestamp(cycle); return 0; });
        } else if (op == 30) {
            static const uint32_t kSizes[] = {0, 1, 2, 3, 7, 64, 1000, 16384, 65536};
            CompareWholeBuffers();
            SetBuffer(kSizes[in_.Below(9)]);
        } else {
            const uint32_t which = in_.Below(10);
            if (which < 8)
                SetDma(static_cast<int>(which), in_.Below(4) == 0 ? nullptr : rom[which]);
            else
                Both([](const Api &, Side &) -> uint64_t { APU_Initialize(); return 0; });
        }
    }
};

}  // namespace

bool SameOutput(const uint8_t *bytes, size_t size, std::string *why) {
    Driver d(bytes, size, why);
    return d.Run();
}

bool SameOutputForSeed(uint64_t seed, size_t length, std::string *why) {
    std::vector<uint8_t> bytes(length);
    uint64_t x = seed;
    for (uint8_t &b : bytes) {
        // splitmix64
        x += 0x9E3779B97F4A7C15ull;
        uint64_t z = x;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        b = static_cast<uint8_t>(z ^ (z >> 31));
    }
    return SameOutput(bytes.data(), bytes.size(), why);
}

}  // namespace pelrin_ref
