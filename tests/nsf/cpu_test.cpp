// The 6502 core on small hand-assembled programs: results, flags, cycle
// counts and the cycle of each bus access.
#include "cpu6502.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <initializer_list>
#include <iterator>
#include <vector>

using pelrin_nsf::Bus;
using pelrin_nsf::Cpu6502;
using pelrin_nsf::CpuError;

namespace {

struct Access {
    bool write;
    uint16_t address;
    uint8_t value;
    uint64_t cycle;
};

// 64 KiB of RAM that records the accesses to $4000-$4FFF.
class TestBus : public Bus {
public:
    std::array<uint8_t, 0x10000> mem{};
    std::vector<Access> io;
    uint8_t read(uint16_t a, uint64_t cycle) override {
        if (a >= 0x4000 && a < 0x5000) io.push_back({false, a, mem[a], cycle});
        return mem[a];
    }
    void write(uint16_t a, uint8_t v, uint64_t cycle) override {
        if (a >= 0x4000 && a < 0x5000) io.push_back({true, a, v, cycle});
        mem[a] = v;
    }
};

class CpuTest : public ::testing::Test {
protected:
    TestBus bus;
    Cpu6502 cpu{bus};

    // Puts the bytes at address and points the PC at them.
    void load(uint16_t address, std::initializer_list<uint8_t> bytes) {
        uint16_t a = address;
        for (uint8_t b : bytes) bus.mem[a++] = b;
        cpu.pc = address;
    }
    unsigned step() { return cpu.step(); }
    void steps(int n) {
        for (int i = 0; i < n; ++i) cpu.step();
    }
    bool flag(uint8_t f) const { return (cpu.p & f) != 0; }
};

TEST_F(CpuTest, AdcSetsCarryAndOverflow) {
    // CLC; LDA #$50; ADC #$50  -> $A0, signed overflow, no carry
    load(0x0600, {0x18, 0xA9, 0x50, 0x69, 0x50});
    steps(3);
    EXPECT_EQ(cpu.a, 0xA0);
    EXPECT_TRUE(flag(Cpu6502::V));
    EXPECT_TRUE(flag(Cpu6502::N));
    EXPECT_FALSE(flag(Cpu6502::C));
    // CLC; LDA #$FF; ADC #$01 -> $00, carry, zero, no overflow
    load(0x0600, {0x18, 0xA9, 0xFF, 0x69, 0x01});
    steps(3);
    EXPECT_EQ(cpu.a, 0x00);
    EXPECT_TRUE(flag(Cpu6502::C));
    EXPECT_TRUE(flag(Cpu6502::Z));
    EXPECT_FALSE(flag(Cpu6502::V));
    // CLC; LDA #$80; ADC #$80 -> $00, carry and overflow
    load(0x0600, {0x18, 0xA9, 0x80, 0x69, 0x80});
    steps(3);
    EXPECT_EQ(cpu.a, 0x00);
    EXPECT_TRUE(flag(Cpu6502::C));
    EXPECT_TRUE(flag(Cpu6502::V));
    // SEC; LDA #$01; ADC #$01 -> carry in gives 3
    load(0x0600, {0x38, 0xA9, 0x01, 0x69, 0x01});
    steps(3);
    EXPECT_EQ(cpu.a, 0x03);
    EXPECT_FALSE(flag(Cpu6502::C));
}

TEST_F(CpuTest, SbcBorrowAndOverflow) {
    // SEC; LDA #$50; SBC #$F0 -> $60, borrow (C clear), no overflow
    load(0x0600, {0x38, 0xA9, 0x50, 0xE9, 0xF0});
    steps(3);
    EXPECT_EQ(cpu.a, 0x60);
    EXPECT_FALSE(flag(Cpu6502::C));
    EXPECT_FALSE(flag(Cpu6502::V));
    // SEC; LDA #$D0; SBC #$70 -> $60, no borrow, overflow
    load(0x0600, {0x38, 0xA9, 0xD0, 0xE9, 0x70});
    steps(3);
    EXPECT_EQ(cpu.a, 0x60);
    EXPECT_TRUE(flag(Cpu6502::C));
    EXPECT_TRUE(flag(Cpu6502::V));
    // CLC; LDA #$00; SBC #$00 -> borrow in gives $FF, negative
    load(0x0600, {0x18, 0xA9, 0x00, 0xE9, 0x00});
    steps(3);
    EXPECT_EQ(cpu.a, 0xFF);
    EXPECT_TRUE(flag(Cpu6502::N));
    EXPECT_FALSE(flag(Cpu6502::C));
}

TEST_F(CpuTest, DecimalFlagIsStoredButArithmeticStaysBinary) {
    // SED; CLC; LDA #$09; ADC #$01; PHP
    load(0x0600, {0xF8, 0x18, 0xA9, 0x09, 0x69, 0x01, 0x08});
    cpu.s = 0xFF;
    steps(5);
    EXPECT_EQ(cpu.a, 0x0A); // not $10
    EXPECT_TRUE(flag(Cpu6502::D));
    EXPECT_EQ(bus.mem[0x01FF] & Cpu6502::D, Cpu6502::D);
    // SEC; LDA #$10; SBC #$01 -> $0F, not $09
    load(0x0600, {0x38, 0xA9, 0x10, 0xE9, 0x01});
    steps(3);
    EXPECT_EQ(cpu.a, 0x0F);
}

TEST_F(CpuTest, CompareSetsCarryZeroNegative) {
    load(0x0600, {0xA9, 0x40, 0xC9, 0x40}); // LDA #$40; CMP #$40
    steps(2);
    EXPECT_TRUE(flag(Cpu6502::Z));
    EXPECT_TRUE(flag(Cpu6502::C));
    load(0x0600, {0xC9, 0x41}); // CMP #$41: A < M
    step();
    EXPECT_FALSE(flag(Cpu6502::Z));
    EXPECT_FALSE(flag(Cpu6502::C));
    EXPECT_TRUE(flag(Cpu6502::N));
    load(0x0600, {0xA2, 0x05, 0xE0, 0x03, 0xA0, 0x00, 0xC0, 0x01}); // LDX #5; CPX #3; LDY #0; CPY #1
    steps(2);
    EXPECT_TRUE(flag(Cpu6502::C));
    EXPECT_FALSE(flag(Cpu6502::Z));
    steps(2);
    EXPECT_FALSE(flag(Cpu6502::C));
    EXPECT_TRUE(flag(Cpu6502::N)); // 0 - 1 = $FF
    EXPECT_EQ(cpu.a, 0x40);         // compares change no register
}

TEST_F(CpuTest, BitCopiesBitsSixAndSevenAndTestsMask) {
    bus.mem[0x0010] = 0xC0;
    load(0x0600, {0xA9, 0x3F, 0x24, 0x10}); // LDA #$3F; BIT $10
    steps(2);
    EXPECT_TRUE(flag(Cpu6502::Z));
    EXPECT_TRUE(flag(Cpu6502::N));
    EXPECT_TRUE(flag(Cpu6502::V));
    EXPECT_EQ(cpu.a, 0x3F);
    bus.mem[0x1234] = 0x01;
    load(0x0600, {0xA9, 0x01, 0x2C, 0x34, 0x12}); // LDA #1; BIT $1234
    steps(2);
    EXPECT_FALSE(flag(Cpu6502::Z));
    EXPECT_FALSE(flag(Cpu6502::N));
    EXPECT_FALSE(flag(Cpu6502::V));
}

TEST_F(CpuTest, ShiftsAndRotates) {
    load(0x0600, {0xA9, 0x81, 0x0A}); // LDA #$81; ASL A
    steps(2);
    EXPECT_EQ(cpu.a, 0x02);
    EXPECT_TRUE(flag(Cpu6502::C));
    load(0x0600, {0x6A}); // ROR A with carry set: $02 -> $81, carry 0
    step();
    EXPECT_EQ(cpu.a, 0x81);
    EXPECT_FALSE(flag(Cpu6502::C));
    EXPECT_TRUE(flag(Cpu6502::N));
    bus.mem[0x0020] = 0x80;
    load(0x0600, {0x18, 0x26, 0x20}); // CLC; ROL $20: $80 -> $00, carry out, zero
    steps(2);
    EXPECT_EQ(bus.mem[0x0020], 0x00);
    EXPECT_TRUE(flag(Cpu6502::C));
    EXPECT_TRUE(flag(Cpu6502::Z));
    bus.mem[0x0300] = 0x03;
    load(0x0600, {0x4E, 0x00, 0x03}); // LSR $0300
    step();
    EXPECT_EQ(bus.mem[0x0300], 0x01);
    EXPECT_TRUE(flag(Cpu6502::C));
    EXPECT_FALSE(flag(Cpu6502::N));
}

TEST_F(CpuTest, BranchCyclesIncludeTakenAndPageCrossPenalties) {
    load(0x0600, {0xA9, 0x00, 0xD0, 0x10}); // LDA #0; BNE (not taken)
    step();
    EXPECT_EQ(step(), 2u);
    EXPECT_EQ(cpu.pc, 0x0604);
    load(0x0600, {0xF0, 0x10}); // BEQ +16, same page
    EXPECT_EQ(step(), 3u);
    EXPECT_EQ(cpu.pc, 0x0612);
    load(0x06F0, {0xF0, 0x20}); // BEQ from $06F2 to $0712: crosses a page
    EXPECT_EQ(step(), 4u);
    EXPECT_EQ(cpu.pc, 0x0712);
    load(0x0702, {0xF0, 0xFA}); // BEQ -6: $0704 -> $06FE, backwards across a page
    EXPECT_EQ(step(), 4u);
    EXPECT_EQ(cpu.pc, 0x06FE);
}

TEST_F(CpuTest, IndirectJumpWrapsWithinThePage) {
    bus.mem[0x02FF] = 0x34;
    bus.mem[0x0200] = 0x12; // the high byte is read from $0200, not $0300
    bus.mem[0x0300] = 0x99;
    load(0x0600, {0x6C, 0xFF, 0x02});
    EXPECT_EQ(step(), 5u);
    EXPECT_EQ(cpu.pc, 0x1234);
}

TEST_F(CpuTest, StackJsrRtsPhaPla) {
    cpu.s = 0xFF;
    // JSR $0700; (at $0700: LDA #$5A; PHA; LDA #0; PLA; RTS)
    load(0x0700, {0xA9, 0x5A, 0x48, 0xA9, 0x00, 0x68, 0x60});
    load(0x0600, {0x20, 0x00, 0x07, 0xEA});
    EXPECT_EQ(step(), 6u);
    EXPECT_EQ(cpu.pc, 0x0700);
    EXPECT_EQ(cpu.s, 0xFD);
    EXPECT_EQ(bus.mem[0x01FF], 0x06); // return address - 1 = $0602
    EXPECT_EQ(bus.mem[0x01FE], 0x02);
    step();
    EXPECT_EQ(step(), 3u); // PHA
    EXPECT_EQ(bus.mem[0x01FD], 0x5A);
    step();
    EXPECT_TRUE(flag(Cpu6502::Z));
    EXPECT_EQ(step(), 4u); // PLA
    EXPECT_EQ(cpu.a, 0x5A);
    EXPECT_FALSE(flag(Cpu6502::Z));
    EXPECT_EQ(step(), 6u); // RTS
    EXPECT_EQ(cpu.pc, 0x0603);
    EXPECT_EQ(cpu.s, 0xFF);
    // TXS/TSX and the stack wrapping inside page 1.
    load(0x0600, {0xA2, 0x00, 0x9A, 0x48, 0xBA});
    steps(4);
    EXPECT_EQ(bus.mem[0x0100], cpu.a);
    EXPECT_EQ(cpu.x, 0xFF);
}

TEST_F(CpuTest, IrqInputIsLevelTriggeredAndMaskedByI) {
    // Handler at $0800: INC $10; RTI. Main program at $0600: NOP; CLI; NOP; NOP; NOP.
    bus.mem[0xFFFE] = 0x00;
    bus.mem[0xFFFF] = 0x08;
    load(0x0800, {0xE6, 0x10, 0x40});
    load(0x0600, {0xEA, 0x58, 0xEA, 0xEA, 0xEA});
    cpu.s = 0xFF;
    cpu.p = Cpu6502::U | Cpu6502::I | Cpu6502::C;
    cpu.irqLine = true;

    // Masked by I: the NOP runs.
    EXPECT_EQ(cpu.stepWithInterrupts(), 2u);
    EXPECT_EQ(cpu.pc, 0x0601);
    // CLI clears I, but the poll at its end saw I set: one more instruction runs.
    EXPECT_EQ(cpu.stepWithInterrupts(), 2u);
    EXPECT_FALSE(flag(Cpu6502::I));
    EXPECT_TRUE(cpu.irqMasked());
    EXPECT_EQ(cpu.stepWithInterrupts(), 2u);
    EXPECT_EQ(cpu.pc, 0x0603);
    EXPECT_FALSE(cpu.irqMasked());

    // Taken: 7 cycles, PC and P pushed with B clear, I set, PC from $FFFE.
    uint64_t before = cpu.cycles;
    EXPECT_EQ(cpu.stepWithInterrupts(), 7u);
    EXPECT_EQ(cpu.cycles - before, 7u);
    EXPECT_EQ(cpu.pc, 0x0800);
    EXPECT_EQ(bus.mem[0x01FF], 0x06);
    EXPECT_EQ(bus.mem[0x01FE], 0x03);
    EXPECT_EQ(bus.mem[0x01FD], Cpu6502::U | Cpu6502::C);
    EXPECT_EQ(cpu.s, 0xFC);
    EXPECT_TRUE(flag(Cpu6502::I));
    // Inside the handler the line is still up, but I holds it off.
    EXPECT_EQ(cpu.stepWithInterrupts(), 5u);
    EXPECT_EQ(bus.mem[0x10], 1);

    // The line stays up: RTI restores I clear at once and the IRQ comes again.
    EXPECT_EQ(cpu.stepWithInterrupts(), 6u);
    EXPECT_EQ(cpu.pc, 0x0603);
    EXPECT_EQ(cpu.p, Cpu6502::U | Cpu6502::C);
    EXPECT_EQ(cpu.stepWithInterrupts(), 7u);
    EXPECT_EQ(cpu.pc, 0x0800);
    steps(2); // INC, RTI
    EXPECT_EQ(bus.mem[0x10], 2);
    EXPECT_EQ(cpu.pc, 0x0603);

    // Acknowledged (line down): the program goes on.
    cpu.irqLine = false;
    EXPECT_EQ(cpu.stepWithInterrupts(), 2u);
    EXPECT_EQ(cpu.pc, 0x0604);
    EXPECT_EQ(cpu.s, 0xFF);

    // SEI sets I, but an IRQ that arrives right after it is still taken.
    load(0x0700, {0x78, 0xEA});
    EXPECT_EQ(cpu.stepWithInterrupts(), 2u);
    EXPECT_TRUE(flag(Cpu6502::I));
    cpu.irqLine = true;
    EXPECT_EQ(cpu.stepWithInterrupts(), 7u);
    EXPECT_EQ(cpu.pc, 0x0800);
    EXPECT_EQ(bus.mem[0x01FD], Cpu6502::U | Cpu6502::C | Cpu6502::I); // I as SEI left it
    // Back from it, I masks the line for good.
    steps(2);
    EXPECT_EQ(cpu.pc, 0x0701);
    EXPECT_EQ(cpu.stepWithInterrupts(), 2u);
    EXPECT_EQ(cpu.pc, 0x0702);
}

TEST_F(CpuTest, PhpPlpRtiBrkAndInterruptFlags) {
    cpu.s = 0xFF;
    cpu.p = Cpu6502::U | Cpu6502::C;
    load(0x0600, {0x08}); // PHP pushes B and U set
    EXPECT_EQ(step(), 3u);
    EXPECT_EQ(bus.mem[0x01FF], Cpu6502::U | Cpu6502::B | Cpu6502::C);
    bus.mem[0x01FF] = 0xFF; // PLP: B is not a real flag
    load(0x0600, {0x28});
    EXPECT_EQ(step(), 4u);
    EXPECT_EQ(cpu.p, 0xFF & ~Cpu6502::B);

    // BRK: pushes PC + 2 and the flags with B, sets I, jumps through $FFFE.
    bus.mem[0xFFFE] = 0x00;
    bus.mem[0xFFFF] = 0x08;
    cpu.s = 0xFF;
    cpu.p = Cpu6502::U | Cpu6502::N;
    load(0x0600, {0x00, 0xEA});
    EXPECT_EQ(step(), 7u);
    EXPECT_EQ(cpu.pc, 0x0800);
    EXPECT_TRUE(flag(Cpu6502::I));
    EXPECT_EQ(bus.mem[0x01FF], 0x06);
    EXPECT_EQ(bus.mem[0x01FE], 0x02);
    EXPECT_EQ(bus.mem[0x01FD], Cpu6502::U | Cpu6502::N | Cpu6502::B);
    // RTI restores the flags (I clear again) and the PC, not PC + 1.
    load(0x0800, {0x40});
    EXPECT_EQ(step(), 6u);
    EXPECT_EQ(cpu.pc, 0x0602);
    EXPECT_EQ(cpu.p, Cpu6502::U | Cpu6502::N);

    // IRQ: refused while I is set; taken otherwise, pushing B clear.
    cpu.p = Cpu6502::U | Cpu6502::I;
    EXPECT_FALSE(cpu.irq());
    EXPECT_EQ(cpu.pc, 0x0602);
    cpu.p = Cpu6502::U;
    uint64_t before = cpu.cycles;
    EXPECT_TRUE(cpu.irq());
    EXPECT_EQ(cpu.cycles - before, 7u);
    EXPECT_EQ(cpu.pc, 0x0800);
    EXPECT_EQ(bus.mem[0x01FD], Cpu6502::U);
    EXPECT_TRUE(flag(Cpu6502::I));
    // SEI/CLI.
    load(0x0600, {0x58, 0x78});
    step();
    EXPECT_FALSE(flag(Cpu6502::I));
    step();
    EXPECT_TRUE(flag(Cpu6502::I));
}

TEST_F(CpuTest, ZeroPageIndexingWrapsWithinPageZero) {
    bus.mem[0x0001] = 0x77;
    bus.mem[0x0101] = 0x11;
    load(0x0600, {0xA2, 0x02, 0xB5, 0xFF}); // LDX #2; LDA $FF,X reads $01
    steps(2);
    EXPECT_EQ(cpu.a, 0x77);
    // LDA ($FF,X) with X=0: pointer from $FF and $00.
    bus.mem[0x00FF] = 0x00;
    bus.mem[0x0000] = 0x03;
    bus.mem[0x0100] = 0x09; // not used: the pointer does not leave page zero
    bus.mem[0x0300] = 0x42;
    load(0x0600, {0xA2, 0x00, 0xA1, 0xFF});
    steps(2);
    EXPECT_EQ(cpu.a, 0x42);
    // LDA ($FF),Y: the same pointer, plus Y.
    bus.mem[0x0305] = 0x24;
    load(0x0600, {0xA0, 0x05, 0xB1, 0xFF});
    steps(2);
    EXPECT_EQ(cpu.a, 0x24);
    // STX $F0,Y wraps too.
    load(0x0600, {0xA0, 0x20, 0xA2, 0x5C, 0x96, 0xF0});
    steps(3);
    EXPECT_EQ(bus.mem[0x0010], 0x5C);
    EXPECT_EQ(bus.mem[0x0110], 0x00);
}

TEST_F(CpuTest, CycleCountsOfRepresentativeInstructions) {
    struct Case {
        std::initializer_list<uint8_t> code;
        uint8_t x, y;
        unsigned cycles;
    };
    const Case cases[] = {
        {{0xEA}, 0, 0, 2},                   // NOP
        {{0xA9, 0x01}, 0, 0, 2},             // LDA #
        {{0xA5, 0x10}, 0, 0, 3},             // LDA zp
        {{0xB5, 0x10}, 1, 0, 4},             // LDA zp,X
        {{0xAD, 0x00, 0x03}, 0, 0, 4},       // LDA abs
        {{0xBD, 0x00, 0x03}, 0xFF, 0, 4},    // LDA abs,X, same page
        {{0xBD, 0x01, 0x03}, 0xFF, 0, 5},    // LDA abs,X, page crossed
        {{0xB9, 0x80, 0x03}, 0, 0x80, 5},    // LDA abs,Y, page crossed
        {{0xA1, 0x10}, 0, 0, 6},             // LDA (zp,X)
        {{0xB1, 0x10}, 0, 0x01, 5},          // LDA (zp),Y, same page
        {{0xB1, 0x10}, 0, 0xFF, 6},          // LDA (zp),Y, page crossed
        {{0x9D, 0x00, 0x03}, 0, 0, 5},       // STA abs,X: always 5
        {{0x99, 0x00, 0x03}, 0, 0, 5},       // STA abs,Y
        {{0x91, 0x10}, 0, 0, 6},             // STA (zp),Y
        {{0x8D, 0x00, 0x03}, 0, 0, 4},       // STA abs
        {{0xE6, 0x10}, 0, 0, 5},             // INC zp
        {{0xFE, 0x00, 0x03}, 0, 0, 7},       // INC abs,X
        {{0x1E, 0x00, 0x03}, 0xFF, 0, 7},    // ASL abs,X
        {{0xBE, 0xFF, 0x03}, 0, 1, 5},       // LDX abs,Y, page crossed
        {{0xBC, 0x00, 0x03}, 1, 0, 4},       // LDY abs,X
        {{0x4C, 0x00, 0x06}, 0, 0, 3},       // JMP abs
        {{0x48}, 0, 0, 3},                   // PHA
        {{0x68}, 0, 0, 4},                   // PLA
        {{0x1A}, 0, 0, 2},                   // unofficial NOP, one byte
        {{0x0C, 0x00, 0x03}, 0, 0, 4},       // unofficial NOP abs
        {{0x1C, 0x01, 0x03}, 0xFF, 0, 5},    // unofficial NOP abs,X, page crossed
    };
    bus.mem[0x10] = 0x80;
    bus.mem[0x11] = 0x03;
    for (const Case &c : cases) {
        cpu.x = c.x;
        cpu.y = c.y;
        cpu.s = 0xF0;
        load(0x0600, c.code);
        uint64_t before = cpu.cycles;
        unsigned n = step();
        EXPECT_EQ(n, c.cycles) << "opcode $" << std::hex << int(*c.code.begin());
        EXPECT_EQ(cpu.cycles - before, c.cycles);
        if (*c.code.begin() != 0x4C) {
            EXPECT_EQ(cpu.pc, 0x0600 + c.code.size());
        }
    }
}

TEST_F(CpuTest, AccessesHappenOnTheirCycleWithinTheInstruction) {
    cpu.cycles = 100;
    // STA $4000 (4 cycles): the write is on the last cycle.
    load(0x0600, {0x8D, 0x00, 0x40, 0xAD, 0x15, 0x40, 0xEE, 0x01, 0x40});
    step();
    ASSERT_EQ(bus.io.size(), 1u);
    EXPECT_TRUE(bus.io[0].write);
    EXPECT_EQ(bus.io[0].cycle, 103u);
    // LDA $4015: read on its 4th cycle.
    step();
    ASSERT_EQ(bus.io.size(), 2u);
    EXPECT_FALSE(bus.io[1].write);
    EXPECT_EQ(bus.io[1].cycle, 107u);
    // INC $4001: read, write the old value back, write the new one.
    bus.mem[0x4001] = 0x41;
    step();
    ASSERT_EQ(bus.io.size(), 5u);
    EXPECT_EQ(bus.io[2].cycle, 111u);
    EXPECT_TRUE(bus.io[3].write);
    EXPECT_EQ(bus.io[3].value, 0x41);
    EXPECT_EQ(bus.io[3].cycle, 112u);
    EXPECT_EQ(bus.io[4].value, 0x42);
    EXPECT_EQ(bus.io[4].cycle, 113u);
    EXPECT_EQ(cpu.cycles, 114u);
}

TEST_F(CpuTest, StallCyclesDelayLaterAccesses) {
    class StallBus : public TestBus {
    public:
        Cpu6502 *cpu = nullptr;
        void write(uint16_t a, uint8_t v, uint64_t cycle) override {
            TestBus::write(a, v, cycle);
            if (a == 0x4010) cpu->addStall(4);
        }
    } sbus;
    Cpu6502 c(sbus);
    sbus.cpu = &c;
    const uint8_t code[] = {0x8D, 0x10, 0x40, 0x8D, 0x11, 0x40};
    for (size_t i = 0; i < sizeof code; ++i) sbus.mem[0x0600 + i] = code[i];
    c.pc = 0x0600;
    c.step();
    c.step();
    ASSERT_EQ(sbus.io.size(), 2u);
    EXPECT_EQ(sbus.io[0].cycle, 3u);
    EXPECT_EQ(sbus.io[1].cycle, 3u + 4u + 4u); // second STA starts at 8 (4 + 4 stolen)
    EXPECT_EQ(c.cycles, 12u);
}

TEST_F(CpuTest, JamAndUnsupportedOpcodesStopWithAClearError) {
    load(0x0600, {0xEA, 0x02});
    step();
    try {
        step();
        FAIL() << "no error for a JAM opcode";
    } catch (const CpuError &e) {
        EXPECT_STREQ(e.what(), "CPU jammed at $0601 (opcode $02)");
        EXPECT_EQ(e.pc(), 0x0601);
    }
    EXPECT_EQ(cpu.pc, 0x0601);
    load(0x0700, {0xA7, 0x10}); // LAX zp
    try {
        step();
        FAIL() << "no error for LAX";
    } catch (const CpuError &e) {
        EXPECT_STREQ(e.what(), "unsupported unofficial opcode $A7 at $0700");
        EXPECT_EQ(e.opcode(), 0xA7);
    }
}

TEST_F(CpuTest, UnofficialSbcAliasAndResetVector) {
    load(0x0600, {0x38, 0xA9, 0x10, 0xEB, 0x01}); // SEC; LDA #$10; SBC #$01 ($EB)
    steps(3);
    EXPECT_EQ(cpu.a, 0x0F);
    EXPECT_TRUE(flag(Cpu6502::C));
    bus.mem[0xFFFC] = 0x00;
    bus.mem[0xFFFD] = 0x90;
    cpu.p = 0;
    cpu.reset();
    EXPECT_EQ(cpu.pc, 0x9000);
    EXPECT_EQ(cpu.s, 0xFD);
    EXPECT_TRUE(flag(Cpu6502::I));
}

// A bus for run(): accesses to $4001 steal cycles (a write 4, a read 3),
// writes to $4002 move a count that the run watches.
class RunBus : public TestBus {
public:
    Cpu6502 *cpu = nullptr;
    uint64_t count = 0;
    uint8_t read(uint16_t a, uint64_t cycle) override {
        if (a == 0x4001) cpu->addStall(3);
        return TestBus::read(a, cycle);
    }
    void write(uint16_t a, uint8_t v, uint64_t cycle) override {
        TestBus::write(a, v, cycle);
        if (a == 0x4001) cpu->addStall(4);
        if (a == 0x4002) ++count;
    }
};

// A program through every flag, PHP (which shows them), PLP, a loop, BRK
// and RTI, accesses on the bus with stall cycles, RAM the core writes
// itself, and SEI at the end. run() holds the flags apart from P: the stack, the registers and
// the accesses must come out as stepping leaves them.
TEST(CpuRun, MatchesStepping) {
    struct Machine {
        RunBus bus;
        Cpu6502 cpu{bus};
        Machine() {
            bus.cpu = &cpu;
            const uint8_t main[] = {
                0xA9, 0x50, 0x18, 0x69, 0x50, // LDA #$50; CLC; ADC #$50: N and V set
                0x08, 0x24, 0x10, 0x08,       // PHP; BIT $10 (holds $C0); PHP
                0xB8, 0x38, 0xE9, 0xF0, 0x08, // CLV; SEC; SBC #$F0; PHP
                0x6A, 0x2A, 0xC9, 0xB0, 0x08, // ROR A; ROL A; CMP #$B0; PHP
                0x8D, 0x01, 0x40,             // STA $4001: 4 cycles stolen
                0xAD, 0x01, 0x40,             // LDA $4001: 3 more
                0xA9, 0x00, 0x28, 0x08,       // LDA #0; PLP; PHP
                0xA2, 0x03, 0xCA, 0xD0, 0xFD, // LDX #3; DEX; BNE back
                0x00, 0xEA,                   // BRK
                0x8D, 0x02, 0x40, 0x78,       // STA $4002; SEI (the next poll sees I clear)
            };
            std::copy(std::begin(main), std::end(main), bus.mem.begin() + 0x0600);
            const uint8_t handler[] = {0x08, 0x28, 0x40}; // PHP; PLP; RTI
            std::copy(std::begin(handler), std::end(handler), bus.mem.begin() + 0x0700);
            bus.mem[0x0010] = 0xC0;
            bus.mem[0xFFFE] = 0x00;
            bus.mem[0xFFFF] = 0x07;
            for (unsigned page = 0; page < 8; ++page) {
                cpu.mapRead(static_cast<uint8_t>(page), bus.mem.data() + page * 0x100);
                cpu.mapWrite(static_cast<uint8_t>(page), bus.mem.data() + page * 0x100);
            }
            cpu.pc = 0x0600;
            cpu.s = 0xFF;
            cpu.p = Cpu6502::U | Cpu6502::D;
        }
    };
    constexpr uint16_t kEnd = 0x0628;
    Machine stepped, ran;
    for (int steps = 0; stepped.cpu.pc != kEnd && steps < 1000; ++steps) stepped.cpu.step();
    ASSERT_EQ(stepped.cpu.pc, kEnd);
    int runs = 0;
    while (ran.cpu.pc != kEnd && runs < 100) {
        ran.cpu.run(kEnd, UINT64_MAX, ran.bus.count);
        ++runs;
    }
    EXPECT_GT(runs, 1); // the loop and the watched count end runs early
    EXPECT_EQ(ran.cpu.registers(), stepped.cpu.registers());
    EXPECT_EQ(ran.cpu.cycles, stepped.cpu.cycles);
    EXPECT_EQ(ran.cpu.wroteMapped(), stepped.cpu.wroteMapped());
    EXPECT_TRUE(ran.bus.mem == stepped.bus.mem);
    ASSERT_EQ(ran.bus.io.size(), stepped.bus.io.size());
    for (size_t i = 0; i < ran.bus.io.size(); ++i) EXPECT_EQ(ran.bus.io[i].cycle, stepped.bus.io[i].cycle) << i;
}

// run() stops after the instruction that meets one of its conditions.
TEST(CpuRun, StopsAfterEachCondition) {
    RunBus bus;
    Cpu6502 cpu{bus};
    bus.cpu = &cpu;
    // NOP; STA $4002; NOP; NOP; JMP $0600
    const uint8_t code[] = {0xEA, 0x8D, 0x02, 0x40, 0xEA, 0xEA, 0x4C, 0x00, 0x06};
    std::copy(std::begin(code), std::end(code), bus.mem.begin() + 0x0600);
    cpu.pc = 0x0600;
    Cpu6502::LastInstruction last = cpu.run(0xFFFF, UINT64_MAX, bus.count); // the watched count moves
    EXPECT_EQ(last.pc, 0x0601);
    EXPECT_EQ(cpu.pc, 0x0604);
    EXPECT_EQ(cpu.cycles, 6u);
    last = cpu.run(0x0605, UINT64_MAX, bus.count); // the stop address
    EXPECT_EQ(last.pc, 0x0604);
    EXPECT_EQ(cpu.pc, 0x0605);
    last = cpu.run(0xFFFF, UINT64_MAX, bus.count); // a jump back
    EXPECT_EQ(last.pc, 0x0606);
    EXPECT_EQ(last.s, cpu.s);
    EXPECT_EQ(cpu.pc, 0x0600);
    EXPECT_EQ(cpu.cycles, 13u);
    last = cpu.run(0xFFFF, 15, bus.count); // the end cycle: NOP (15), and no further
    EXPECT_EQ(last.pc, 0x0600);
    EXPECT_EQ(cpu.cycles, 15u);
}

} // namespace
