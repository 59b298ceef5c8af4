// Random host calls with arguments from the whole range, including absurd
// ones: nothing may crash, hang, write outside the buffer or break the
// buffer and timing invariants. Run under the sanitizers in CI.
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "support.h"

namespace pelrin::test {
namespace {

struct Random {
    std::mt19937 rng{20261207};
    uint32_t Word() { return rng(); }
    uint32_t Below(uint32_t n) { return rng() % n; }
    int32_t Any() {
        static const int32_t edges[] = {0, 1, -1, 2, 7, 8, 16, 32, 127, 128, 255, 256, -127, -128,
                                        44100, 1 << 30, std::numeric_limits<int32_t>::min(),
                                        std::numeric_limits<int32_t>::max()};
        return Below(3) == 0 ? edges[Below(sizeof edges / sizeof edges[0])] : static_cast<int32_t>(Word());
    }
    float AnyFloat() {
        static const float edges[] = {0.0f, -1.0f, 0.5f, 1.0f, 1.5f, 7457.5f, 8000.0f, 1789772.75f, 3e38f,
                                      std::numeric_limits<float>::infinity(),
                                      -std::numeric_limits<float>::infinity(),
                                      std::numeric_limits<float>::quiet_NaN(),
                                      std::numeric_limits<float>::denorm_min()};
        return edges[Below(sizeof edges / sizeof edges[0])];
    }
    uint16_t Register() {
        static const uint16_t bases[] = {0x4000, 0x9000, 0xA000, 0xB000, 0x5000, 0x4800, 0xF800};
        uint16_t base = bases[Below(sizeof bases / sizeof bases[0])];
        return static_cast<uint16_t>(base + (base == 0x4000 ? Below(0x18) : Below(0x18)));
    }
};

TEST(Robustness, RandomHostCallsKeepEveryInvariant) {
    LoadFresh();
    Random r;
    constexpr size_t kGuard = 64;
    std::vector<uint8_t> memory(8 * 4096);
    for (uint8_t &b : memory) b = static_cast<uint8_t>(r.Word());
    std::vector<uint8_t> buffer(4096 + kGuard, 0xA5);
    uint32_t bufferSize = 4096;

    APU_Initialize();
    for (int bank = 0; bank < 8; bank++) APU_SetDMAPointer(bank, memory.data() + bank * 4096);
    APU_SetOutputBuffer(buffer.data(), bufferSize);
    APU_Reset(static_cast<int32_t>(r.Below(20)));

    for (int call = 0; call < 100000; call++) {
        uint32_t before = APU_GetTimestamp();
        bool restarted = false;  // a reset restarts the clock at 0
        switch (r.Below(16)) {
            case 0: case 1: case 2: case 3: case 4: case 5:
                APU_RegWrite(r.Register(), r.Word(), before + r.Below(200));
                break;
            case 6: {
                uint8_t bus = static_cast<uint8_t>(r.Word());
                APU_RegRead(r.Below(4) == 0 ? r.Word() : r.Register(), r.Below(50) ? &bus : nullptr,
                            before + r.Below(200));
                break;
            }
            case 7: case 8:
                APU_RunToCycle(before + r.Below(40000));
                break;
            case 9:
                APU_GetWrittenBufferSize(static_cast<int32_t>(r.Below(2)));
                break;
            case 10:
                if (r.Below(20) == 0) APU_SetOutputFormat(r.Any(), r.Any(), r.Any());
                else APU_SetOutputFormat(static_cast<int32_t>(8000 + r.Below(100000)), r.Below(2) ? 8 : 16,
                                         1 + static_cast<int32_t>(r.Below(2)));
                break;
            case 11:
                APU_SetEnvironment(r.Any(), r.AnyFloat(), r.AnyFloat());
                break;
            case 12:
                APU_Configure(r.Below(4) ? r.AnyFloat() : static_cast<float>(r.Below(300)) / 100.0f, r.Any(), r.Any());
                break;
            case 13:
                APU_SetChannelOptions(r.Any() % 25, r.Any(), r.Below(2) ? r.Any() : static_cast<int32_t>(r.Below(256)),
                                      r.Below(2) ? r.Any() : static_cast<int32_t>(r.Below(255)) - 127);
                break;
            case 14:
                if (r.Below(100) == 0) {
                    APU_Reset(r.Any());
                    restarted = true;
                }
                if (r.Below(100) == 0) APU_SetDMAPointer(r.Any() % 10, r.Below(2) ? nullptr : memory.data());
                if (r.Below(100) == 0) APU_Initialize();
                break;
            default:
                if (r.Below(50) == 0) {
                    bufferSize = r.Below(4097);
                    APU_SetOutputBuffer(r.Below(10) ? buffer.data() : nullptr, bufferSize);
                }
                APU_FindNextIRQ();
                break;
        }
        // Runs never go backwards and the buffer is never overrun.
        if (!restarted) {
            ASSERT_LT(APU_GetTimestamp() - before, 0x80000000u) << call;
        }
        ASSERT_LE(apu.fillMark, static_cast<uint64_t>(bufferSize) + apu.bytesPerFrame) << call;
        ASSERT_EQ(apu.bytesPerFrame, apu.channelCount * apu.bitsPerSample / 8) << call;
        ASSERT_GE(apu.cyclesPerSample, 1.0f) << call;
        ASSERT_GT(apu.sampleCountdown, 0.0f) << call;
        ASSERT_GT(apu.frameStepCountdown, 0.0f) << call;
    }
    for (size_t i = 4096; i < buffer.size(); i++) ASSERT_EQ(buffer[i], 0xA5) << "written past the buffer at " << i;
}

}  // namespace
}  // namespace pelrin::test
