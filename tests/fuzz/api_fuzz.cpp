// Fuzz target: the sixteen exported functions, called in any order with any
// arguments. Each call is one opcode byte followed by its arguments; an input
// that runs out reads zeros. Checks after every call: the guard bytes around
// the output buffer stay intact, nothing past the reported written count
// changes, results stay in their documented ranges, the timestamp ends at the
// cycle plus the stall cycles (or stays, for a cycle in the past), and
// APU_FindNextIRQ is never late.
#include "fresh_state.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

namespace {

#define FUZZ_CHECK(cond)                                                                   \
    do {                                                                                   \
        if (!(cond)) {                                                                     \
            std::fprintf(stderr, "api_fuzz: check failed at line %d: %s\n", __LINE__, #cond); \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)

class Reader {
public:
    Reader(const uint8_t *d, size_t n) : d_(d), n_(n) {}
    bool empty() const { return pos_ >= n_; }
    uint8_t u8() { return pos_ < n_ ? d_[pos_++] : 0; }
    uint32_t u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(u8()) << (8 * i);
        return v;
    }
    int32_t i32() { return static_cast<int32_t>(u32()); }
    // Mostly the values that matter at the edges, sometimes raw bits.
    float f32() {
        static const float kSpecial[] = {
            0.0f, -0.0f, 1.0f, 0.5f, 0.999f, -1.0f, 1.99f, 7457.5f, 8313.0f, 1789772.75f, 1662607.125f,
            44100.0f, 100000.0f, 3e9f, 1e30f, std::numeric_limits<float>::infinity(),
            -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN(),
            std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::max()};
        uint8_t k = u8();
        if (k < sizeof kSpecial / sizeof kSpecial[0]) return kSpecial[k];
        uint32_t bits = u32();
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }

private:
    const uint8_t *d_;
    size_t n_;
    size_t pos_ = 0;
};

constexpr size_t kGuard = 64;
constexpr uint8_t kGuardByte = 0xA5;
// Bounds that keep one input short: cycles per run and in all.
constexpr uint32_t kMaxSpan = 1u << 18;
constexpr uint64_t kMaxTotalCycles = 1u << 22;

struct Harness {
    std::vector<uint8_t> area;        // guard, buffer, guard
    uint32_t bufferSize = 0;
    bool haveBuffer = false;
    std::vector<uint8_t> before;      // the buffer as it was before the call
    uint8_t banks[8][4096];
    uint64_t totalCycles = 0;
    // Last prediction of APU_FindNextIRQ, valid while only runs follow it.
    bool predictionValid = false;
    uint32_t predicted = 0, predictedAt = 0;

    uint8_t *buffer() { return area.data() + kGuard; }

    void setBuffer(uint32_t size, bool null) {
        APU_SetOutputBuffer(nullptr, 0); // no stale pointer while the vector moves
        area.assign(size + 2 * kGuard, kGuardByte);
        bufferSize = size;
        haveBuffer = !null;
        APU_SetOutputBuffer(null ? nullptr : buffer(), null ? 0 : size);
    }

    void snapshot() { before.assign(area.begin(), area.end()); }

    void checkBuffer() {
        for (size_t i = 0; i < kGuard; ++i) {
            FUZZ_CHECK(area[i] == kGuardByte);
            FUZZ_CHECK(area[kGuard + bufferSize + i] == kGuardByte);
        }
        uint32_t written = APU_GetWrittenBufferSize(0);
        const uint32_t capacity = haveBuffer ? bufferSize : 0;
        FUZZ_CHECK(written <= capacity);
        for (size_t i = written; i < bufferSize; ++i) FUZZ_CHECK(area[kGuard + i] == before[kGuard + i]);
    }

    // A target cycle near the timestamp: ahead by a bounded span, equal, or behind.
    uint32_t cycleFrom(Reader &r) {
        uint32_t now = APU_GetTimestamp();
        uint8_t kind = r.u8();
        uint32_t raw = r.u32();
        if (kind < 200) {
            uint32_t span = raw % kMaxSpan;
            if (totalCycles + span > kMaxTotalCycles) span = 0;
            totalCycles += span;
            return now + span;
        }
        if (kind < 220) return now;
        if (kind < 250) return now - 1 - raw % kMaxSpan; // the past
        return now + 0x80000000u + raw % 0x7FFFFFFFu;      // too far ahead: also the past
    }

    // The timestamp after a call that runs to cycle from `from` with result stalls.
    static void checkRun(uint32_t from, uint32_t cycle, uint32_t stalls) {
        uint32_t span = cycle - from;
        uint32_t now = APU_GetTimestamp();
        if (span == 0 || span >= 0x80000000u) {
            FUZZ_CHECK(stalls == 0);
            FUZZ_CHECK(now == from);
        } else {
            FUZZ_CHECK(now == cycle + stalls);
        }
    }

    void run(Reader &r) {
        for (int b = 0; b < 8; ++b)
            for (int i = 0; i < 4096; ++i) banks[b][i] = static_cast<uint8_t>(i * 37 + b * 101);
        setBuffer(256, false);
        for (int k = 0; k < 8; ++k) APU_SetDMAPointer(k, banks[k]);
        APU_Reset(0);
        int calls = 0;
        while (!r.empty() && calls++ < 4096) {
            uint8_t op = r.u8();
            snapshot();
            bool keepPrediction = false;
            switch (op % 17) {
            case 0: APU_Initialize(); break;
            case 1: APU_SetEnvironment(r.i32() % 4 - 1, r.f32(), r.f32()); break;
            case 2: {
                // Rates from tiny to far above the clock; bits and channels near their range.
                static const int32_t kRates[] = {0, -1, 1, 8000, 44100, 48000, 96000, 192000, 1789772, 1789773,
                                                 2000000, INT32_MAX, INT32_MIN};
                uint8_t k = r.u8();
                int32_t rate = k < sizeof kRates / sizeof kRates[0] ? kRates[k] : r.i32();
                APU_SetOutputFormat(rate, r.u8() % 20, r.u8() % 4 - 1);
                break;
            }
            case 3: {
                uint8_t k = r.u8();
                int32_t bank = static_cast<int8_t>(r.u8()) % 10;
                APU_SetDMAPointer(bank, k & 1 ? nullptr : banks[(k >> 1) & 7]);
                break;
            }
            case 4: {
                static const int32_t kChips[] = {0, 1, 2, 4, 8, 16, 32, 3, 255, -1};
                uint8_t k = r.u8();
                int32_t chip = k < 10 ? kChips[k] : r.i32();
                FUZZ_CHECK(APU_Reset(chip) == 0);
                FUZZ_CHECK(APU_GetTimestamp() == 0);
                FUZZ_CHECK(APU_GetWrittenBufferSize(0) == 0);
                break;
            }
            case 5: {
                uint8_t k = r.u8();
                // Null, tiny (below one frame), and ordinary sizes.
                uint32_t size = k < 16 ? k : (k < 200 ? 16u + r.u8() * 16u : 4096u + r.u8());
                setBuffer(size, k == 0 && (r.u8() & 1));
                snapshot();
                break;
            }
            case 6: {
                uint32_t n0 = APU_GetWrittenBufferSize(0);
                uint32_t n = APU_GetWrittenBufferSize(r.i32());
                FUZZ_CHECK(n == n0);
                keepPrediction = true;
                break;
            }
            case 7:
                APU_ResetOutputBuffer();
                FUZZ_CHECK(APU_GetWrittenBufferSize(0) == 0);
                keepPrediction = true;
                break;
            case 8: APU_GetTimestamp(); keepPrediction = true; break;
            case 9: {
                uint32_t t = r.u8() < 128 ? APU_GetTimestamp() + r.u8() : r.u32();
                APU_SetTimestamp(t);
                FUZZ_CHECK(APU_GetTimestamp() == t);
                break;
            }
            case 10: {
                uint32_t n = APU_FindNextIRQ();
                FUZZ_CHECK(APU_FindNextIRQ() == n); // changes nothing
                predicted = n;
                predictedAt = APU_GetTimestamp();
                predictionValid = true;
                keepPrediction = true;
                break;
            }
            case 11: {
                uint32_t from = APU_GetTimestamp();
                uint32_t cycle = cycleFrom(r);
                uint32_t stalls = APU_RunToCycle(cycle);
                checkRun(from, cycle, stalls);
                if (predictionValid && predicted != 0 && predicted != 0xFFFFFFFFu) {
                    uint32_t elapsed = APU_GetTimestamp() - predictedAt;
                    if (elapsed < predicted) FUZZ_CHECK(APU_FindNextIRQ() != 0);
                    else predictionValid = false;
                }
                keepPrediction = true;
                break;
            }
            case 12: {
                uint32_t from = APU_GetTimestamp();
                uint8_t k = r.u8();
                uint32_t address = k < 128 ? 0x4000u + k % 0x18 : (k < 240 ? r.u32() & 0xFFFF : r.u32());
                uint32_t value = r.u8() < 200 ? r.u8() : r.u32();
                uint32_t cycle = cycleFrom(r);
                checkRun(from, cycle, APU_RegWrite(address, value, cycle));
                break;
            }
            case 13: {
                uint32_t from = APU_GetTimestamp();
                uint8_t k = r.u8();
                static const uint32_t kReads[] = {0x4015, 0x4017, 0x4800};
                uint32_t address = k < 192 ? kReads[k % 3] : r.u32();
                uint8_t bus = r.u8();
                uint8_t *data = r.u8() == 0xFF ? nullptr : &bus;
                uint32_t cycle = cycleFrom(r);
                checkRun(from, cycle, APU_RegRead(address, data, cycle));
                break;
            }
            case 14: APU_Configure(r.f32(), r.i32() % 4 - 1, r.i32() % 4 - 1); break;
            case 15: {
                uint8_t k = r.u8();
                int32_t index = k < 200 ? k % 21 - 1 : r.i32();
                APU_SetChannelOptions(index, r.i32() % 4 - 1, r.u8() < 200 ? r.u8() : r.i32(),
                                      r.u8() < 200 ? static_cast<int8_t>(r.u8()) : r.i32());
                break;
            }
            case 16: {
                // The host's memory changes under the fetches.
                uint8_t b = r.u8() & 7;
                uint32_t at = r.u32() & 0xFFF;
                banks[b][at] = r.u8();
                keepPrediction = true;
                break;
            }
            }
            if (!keepPrediction) predictionValid = false;
            checkBuffer();
        }
        APU_SetOutputBuffer(nullptr, 0);
        for (int k = 0; k < 8; ++k) APU_SetDMAPointer(k, nullptr);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    pelrin_fuzz::freshLibrary();
    static Harness h; // the banks stay at one address across inputs
    h = Harness{};
    Reader r(data, size);
    h.run(r);
    return 0;
}
