#include "cpu6502.hpp"

#include <cstdio>
#include <type_traits>

namespace pelrin_nsf {

namespace {
std::string hex(unsigned v, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "$%0*X", digits, v);
    return buf;
}

// Out of line, so the strings of the message take no room in the instruction loop's frame.
[[noreturn, gnu::noinline, gnu::cold]] void Stop(uint16_t opPc, uint8_t op, bool jam) {
    if (jam) throw CpuError("CPU jammed at " + hex(opPc, 4) + " (opcode " + hex(op, 2) + ")", opPc, op);
    throw CpuError("unsupported unofficial opcode " + hex(op, 2) + " at " + hex(opPc, 4), opPc, op);
}

} // namespace

void Cpu6502::reset() {
    s = 0xFD;
    p = static_cast<uint8_t>(p | I | U);
    pc = read16(0xFFFC);
    cycles += 7;
}

void Cpu6502::interrupt(uint16_t vector, bool brk) {
    push(static_cast<uint8_t>(pc >> 8));
    push(static_cast<uint8_t>(pc));
    push(static_cast<uint8_t>((p & ~B) | U | (brk ? B : 0)));
    p |= I;
    pc = read16(vector);
}

bool Cpu6502::irq() {
    if (p & I) return false;
    interrupt(0xFFFE, false);
    cycles += 7;
    delayedMask_ = -1;
    return true;
}

unsigned Cpu6502::takeIrq() {
    // Decided by the poll, even when SEI has just set I: P is pushed as it is.
    interrupt(0xFFFE, false);
    cycles += 7;
    delayedMask_ = -1;
    return 7;
}

void Cpu6502::nmi() {
    interrupt(0xFFFA, false);
    cycles += 7;
    delayedMask_ = -1;
}

namespace {

// The registers of a run, held in locals. N, Z, V and C are kept apart
// from P in the form the instructions produce them, so that most
// instructions set a flag with a move; P is put together where it is seen.
struct HeldRegisters {
    uint64_t cycles;
    uint16_t pc;
    uint8_t a, x, y, s;
    uint8_t p;            // I, D, B and U; the bits of N, Z, V and C are stale
    uint8_t zeroTest;     // Z is set when this is 0
    uint8_t negativeTest; // N is its bit 7
    uint8_t overflowTest; // V is its bit 7
    uint8_t carryBit;     // C: 0 or 1

    HeldRegisters(uint64_t cycles_, uint16_t pc_, uint8_t a_, uint8_t x_, uint8_t y_, uint8_t s_, uint8_t p_)
        : cycles(cycles_), pc(pc_), a(a_), x(x_), y(y_), s(s_) {
        setFlags(p_);
    }
    PELRIN_NSF_INLINE uint8_t carry() const { return carryBit; }
    PELRIN_NSF_INLINE bool zero() const { return zeroTest == 0; }
    PELRIN_NSF_INLINE bool negative() const { return negativeTest & Cpu6502::N; }
    PELRIN_NSF_INLINE bool overflow() const { return overflowTest & 0x80; }
    PELRIN_NSF_INLINE void setCarry(uint8_t c) { carryBit = c; }
    PELRIN_NSF_INLINE void setZN(uint8_t v) { zeroTest = negativeTest = v; }
    PELRIN_NSF_INLINE void setOverflowFromBit7(uint8_t v) { overflowTest = v; }
    // BIT: Z from A AND M, N and V from M's bits 7 and 6.
    PELRIN_NSF_INLINE void setBitTest(uint8_t masked, uint8_t m) {
        zeroTest = masked;
        negativeTest = m;
        overflowTest = static_cast<uint8_t>(m << 1);
    }
    PELRIN_NSF_INLINE uint8_t flags() const {
        return static_cast<uint8_t>((p & ~(Cpu6502::N | Cpu6502::Z | Cpu6502::V | Cpu6502::C)) |
                                    (negativeTest & Cpu6502::N) | (zeroTest ? 0 : Cpu6502::Z) |
                                    ((overflowTest >> 1) & Cpu6502::V) | carryBit);
    }
    PELRIN_NSF_INLINE void setFlags(uint8_t f) {
        p = f;
        zeroTest = f & Cpu6502::Z ? 0 : 1;
        negativeTest = f;
        overflowTest = static_cast<uint8_t>(f << 1);
        carryBit = f & Cpu6502::C;
    }
};

// The registers of step(): the object's own, the flags set in P at once.
// For one instruction, holding them apart would cost more than it saves.
struct RegistersInPlace {
    uint64_t &cycles;
    uint16_t &pc;
    uint8_t &a, &x, &y, &s, &p;

    PELRIN_NSF_INLINE uint8_t carry() const { return p & Cpu6502::C; }
    PELRIN_NSF_INLINE bool zero() const { return p & Cpu6502::Z; }
    PELRIN_NSF_INLINE bool negative() const { return p & Cpu6502::N; }
    PELRIN_NSF_INLINE bool overflow() const { return p & Cpu6502::V; }
    PELRIN_NSF_INLINE void setCarry(uint8_t c) { p = static_cast<uint8_t>((p & ~Cpu6502::C) | c); }
    PELRIN_NSF_INLINE void setZN(uint8_t v) {
        p = static_cast<uint8_t>((p & ~(Cpu6502::Z | Cpu6502::N)) | (v ? 0 : Cpu6502::Z) | (v & Cpu6502::N));
    }
    PELRIN_NSF_INLINE void setOverflowFromBit7(uint8_t v) {
        p = static_cast<uint8_t>((p & ~Cpu6502::V) | ((v >> 1) & Cpu6502::V));
    }
    PELRIN_NSF_INLINE void setBitTest(uint8_t masked, uint8_t m) {
        p = static_cast<uint8_t>((p & ~(Cpu6502::Z | Cpu6502::V | Cpu6502::N)) | (masked ? 0 : Cpu6502::Z) |
                                 (m & (Cpu6502::V | Cpu6502::N)));
    }
    PELRIN_NSF_INLINE uint8_t flags() const { return p; }
    PELRIN_NSF_INLINE void setFlags(uint8_t f) { p = f; }
};

} // namespace

// The instructions of step() (OneInstruction) and run(): a local object of
// those two whose members all inline, so that the compiler can keep the
// registers of a run in host registers.
template <bool OneInstruction>
struct Cpu6502::Runner {
    using RunRegisters = std::conditional_t<OneInstruction, RegistersInPlace, HeldRegisters>;

    Cpu6502 &cpu;
    RunRegisters r;
    const uint64_t *watched;
    const uint64_t watchedAtStart;
    uint64_t runEnd;          // 0 once *watched changed: the run ends after the instruction
    unsigned cyc = 2;         // the running instruction's cycles
    uint8_t maskBeforeOp = 0; // the I flag before CLI, SEI or PLP, which the next poll sees
    bool wroteMapped = false; // a store to mapped memory

    Runner(Cpu6502 &c, uint64_t endCycle, const uint64_t *w)
        : cpu(c), r{c.cycles, c.pc, c.a, c.x, c.y, c.s, c.p}, watched(w),
          watchedAtStart(OneInstruction ? 0 : *w), runEnd(endCycle) {}

    // From the object, after BRK's sequence ran on its registers.
    PELRIN_NSF_INLINE void hold() {
        if constexpr (!OneInstruction) r = RunRegisters{cpu.cycles, cpu.pc, cpu.a, cpu.x, cpu.y, cpu.s, cpu.p};
    }
    // CLI, SEI and PLP: the interrupt poll of the next boundary still sees the old mask.
    static PELRIN_NSF_INLINE bool delaysMask(uint8_t op) { return op == 0x58 || op == 0x78 || op == 0x28; }
    // Into the object: at the end of a run, before BRK's sequence and
    // before an error. op: the last instruction run.
    PELRIN_NSF_INLINE void storeBack(uint8_t op) {
        if constexpr (!OneInstruction) {
            cpu.cycles = r.cycles;
            cpu.pc = r.pc;
            cpu.a = r.a;
            cpu.x = r.x;
            cpu.y = r.y;
            cpu.s = r.s;
            cpu.p = r.flags();
        }
        cpu.delayedMask_ = delaysMask(op) ? static_cast<int8_t>(maskBeforeOp) : int8_t{-1};
        if (wroteMapped) cpu.wroteMapped_ = true;
    }
    PELRIN_NSF_INLINE void sawBus() {
        if constexpr (!OneInstruction) {
            if (*watched != watchedAtStart) runEnd = 0;
        }
    }

    // Memory accesses. The bus sees the cycle count in the object, where it
    // may add stall cycles, which move the accesses that follow.
    PELRIN_NSF_INLINE uint8_t rd(uint16_t address, unsigned at) {
        if (const uint8_t *page = cpu.readPages_[address >> 8]) return page[address & 0xFF];
        if constexpr (OneInstruction) {
            return cpu.bus_.read(address, cpu.cycles + at);
        } else {
            cpu.cycles = r.cycles;
            const uint8_t v = cpu.bus_.read(address, r.cycles + at);
            r.cycles = cpu.cycles;
            sawBus();
            return v;
        }
    }
    PELRIN_NSF_INLINE void wr(uint16_t address, uint8_t v, unsigned at) {
        if (uint8_t *page = cpu.writePages_[address >> 8]) {
            page[address & 0xFF] = v;
            wroteMapped = true;
            return;
        }
        if constexpr (OneInstruction) {
            cpu.bus_.write(address, v, cpu.cycles + at);
        } else {
            cpu.cycles = r.cycles;
            cpu.bus_.write(address, v, r.cycles + at);
            r.cycles = cpu.cycles;
            sawBus();
        }
    }
    PELRIN_NSF_INLINE uint8_t fetch() { return rd(r.pc++, 0); }
    PELRIN_NSF_INLINE uint16_t fetch16() {
        uint16_t lo = fetch();
        return static_cast<uint16_t>(lo | (fetch() << 8));
    }
    PELRIN_NSF_INLINE void push(uint8_t v) {
        wr(static_cast<uint16_t>(0x100 | r.s), v, 0);
        --r.s;
    }
    PELRIN_NSF_INLINE uint8_t pull() {
        ++r.s;
        return rd(static_cast<uint16_t>(0x100 | r.s), 0);
    }

    PELRIN_NSF_INLINE void adc(uint8_t m) {
        // Binary only: the console's CPU has no decimal mode.
        const unsigned sum = r.a + m + r.carry();
        const uint8_t result = static_cast<uint8_t>(sum);
        r.setCarry(static_cast<uint8_t>(sum >> 8));
        r.setOverflowFromBit7(static_cast<uint8_t>(~(r.a ^ m) & (r.a ^ result)));
        r.a = result;
        r.setZN(result);
    }
    PELRIN_NSF_INLINE void compare(uint8_t reg, uint8_t m) {
        r.setCarry(reg >= m ? 1 : 0);
        r.setZN(static_cast<uint8_t>(reg - m));
    }

    // Effective addresses. Read instructions pay one cycle more when an
    // index carries into the high byte; stores and read-modify-writes always
    // take the longer path, so their counts are fixed.
    PELRIN_NSF_INLINE uint16_t zp() { return fetch(); }
    PELRIN_NSF_INLINE uint16_t zpi(uint8_t idx) { return static_cast<uint16_t>((fetch() + idx) & 0xFF); }
    PELRIN_NSF_INLINE uint16_t absi(uint8_t idx, bool penalty) {
        uint16_t base = fetch16();
        uint16_t ea = static_cast<uint16_t>(base + idx);
        if (penalty && ((ea ^ base) & 0xFF00)) ++cyc;
        return ea;
    }
    PELRIN_NSF_INLINE uint16_t izx() {
        uint8_t z = static_cast<uint8_t>(fetch() + r.x);
        uint16_t lo = rd(z, 0);
        return static_cast<uint16_t>(lo | (rd(static_cast<uint8_t>(z + 1), 0) << 8));
    }
    PELRIN_NSF_INLINE uint16_t izy(bool penalty) {
        uint8_t z = fetch();
        uint16_t lo = rd(z, 0);
        uint16_t base = static_cast<uint16_t>(lo | (rd(static_cast<uint8_t>(z + 1), 0) << 8));
        uint16_t ea = static_cast<uint16_t>(base + r.y);
        if (penalty && ((ea ^ base) & 0xFF00)) ++cyc;
        return ea;
    }
    // The value operand of a read instruction, read on its last cycle.
    PELRIN_NSF_INLINE uint8_t load(uint16_t ea) { return rd(ea, cyc - 1); }
    PELRIN_NSF_INLINE void store(uint16_t ea, uint8_t v) { wr(ea, v, cyc - 1); }

    PELRIN_NSF_INLINE uint8_t asl(uint8_t v) {
        r.setCarry(static_cast<uint8_t>(v >> 7));
        v = static_cast<uint8_t>(v << 1);
        r.setZN(v);
        return v;
    }
    PELRIN_NSF_INLINE uint8_t lsr(uint8_t v) {
        r.setCarry(v & 1);
        v = static_cast<uint8_t>(v >> 1);
        r.setZN(v);
        return v;
    }
    PELRIN_NSF_INLINE uint8_t rol(uint8_t v) {
        const uint8_t c = r.carry();
        r.setCarry(static_cast<uint8_t>(v >> 7));
        v = static_cast<uint8_t>((v << 1) | c);
        r.setZN(v);
        return v;
    }
    PELRIN_NSF_INLINE uint8_t ror(uint8_t v) {
        const uint8_t c = r.carry();
        r.setCarry(v & 1);
        v = static_cast<uint8_t>((v >> 1) | (c << 7));
        r.setZN(v);
        return v;
    }
    PELRIN_NSF_INLINE uint8_t inc(uint8_t v) {
        v = static_cast<uint8_t>(v + 1);
        r.setZN(v);
        return v;
    }
    PELRIN_NSF_INLINE uint8_t dec(uint8_t v) {
        v = static_cast<uint8_t>(v - 1);
        r.setZN(v);
        return v;
    }
    // Read, write back the old value, write the new one: the bus sees all three.
    enum class Modify { kAsl, kLsr, kRol, kRor, kInc, kDec };
    template <Modify M>
    PELRIN_NSF_INLINE void rmw(uint16_t ea) {
        uint8_t v = rd(ea, cyc - 3);
        wr(ea, v, cyc - 2);
        if constexpr (M == Modify::kAsl) v = asl(v);
        else if constexpr (M == Modify::kLsr) v = lsr(v);
        else if constexpr (M == Modify::kRol) v = rol(v);
        else if constexpr (M == Modify::kRor) v = ror(v);
        else if constexpr (M == Modify::kInc) v = inc(v);
        else v = dec(v);
        wr(ea, v, cyc - 1);
    }
    PELRIN_NSF_INLINE void branch(bool taken) {
        int8_t off = static_cast<int8_t>(fetch());
        if (taken) {
            uint16_t target = static_cast<uint16_t>(r.pc + off);
            cyc += ((target ^ r.pc) & 0xFF00) ? 2 : 1;
            r.pc = target;
        }
    }
    PELRIN_NSF_INLINE void bit(uint8_t m) { r.setBitTest(r.a & m, m); }

    // Group one (ORA AND EOR ADC STA LDA CMP SBC): the low two bits are 01,
    // bits 2-4 pick the addressing mode, bits 5-7 the operation. Each
    // opcode is a case of its own in run().
    template <unsigned Mode, unsigned Fn>
    PELRIN_NSF_INLINE void groupOne() {
        constexpr bool isStore = Fn == 4;
        constexpr uint8_t kCycles[8] = {6, 3, 2, 4, 5, 4, 4, 4};
        cyc = kCycles[Mode] + (isStore && (Mode == 4 || Mode == 6 || Mode == 7) ? 1 : 0);
        uint16_t ea;
        if constexpr (Mode == 0) ea = izx();
        else if constexpr (Mode == 1) ea = zp();
        else if constexpr (Mode == 2) ea = r.pc++;
        else if constexpr (Mode == 3) ea = fetch16();
        else if constexpr (Mode == 4) ea = izy(!isStore);
        else if constexpr (Mode == 5) ea = zpi(r.x);
        else if constexpr (Mode == 6) ea = absi(r.y, !isStore);
        else ea = absi(r.x, !isStore);
        if constexpr (isStore) {
            store(ea, r.a);
        } else {
            const uint8_t m = Mode == 2 ? rd(ea, 0) : load(ea);
            if constexpr (Fn == 0) { r.a |= m; r.setZN(r.a); }
            else if constexpr (Fn == 1) { r.a &= m; r.setZN(r.a); }
            else if constexpr (Fn == 2) { r.a ^= m; r.setZN(r.a); }
            else if constexpr (Fn == 3) adc(m);
            else if constexpr (Fn == 5) { r.a = m; r.setZN(r.a); }
            else if constexpr (Fn == 6) compare(r.a, m);
            else adc(static_cast<uint8_t>(~m));
        }
    }

    PELRIN_NSF_INLINE LastInstruction run(uint16_t stopPc) {
        for (;;) {
            const uint16_t opPc = r.pc;
            const uint8_t opS = r.s;
            const uint8_t op = fetch();
            cyc = 2;

#define PELRIN_NSF_G1(fn, mode) \
        case (fn) << 5 | (mode) << 2 | 1: groupOne<mode, fn>(); break;
#define PELRIN_NSF_G1_ROW(fn) \
        PELRIN_NSF_G1(fn, 0) PELRIN_NSF_G1(fn, 1) PELRIN_NSF_G1(fn, 2) PELRIN_NSF_G1(fn, 3) \
        PELRIN_NSF_G1(fn, 4) PELRIN_NSF_G1(fn, 5) PELRIN_NSF_G1(fn, 6) PELRIN_NSF_G1(fn, 7)

            switch (op) {
            PELRIN_NSF_G1_ROW(0) PELRIN_NSF_G1_ROW(1) PELRIN_NSF_G1_ROW(2) PELRIN_NSF_G1_ROW(3)
            PELRIN_NSF_G1(4, 0) PELRIN_NSF_G1(4, 1) PELRIN_NSF_G1(4, 3) PELRIN_NSF_G1(4, 4) // $89 is a NOP
            PELRIN_NSF_G1(4, 5) PELRIN_NSF_G1(4, 6) PELRIN_NSF_G1(4, 7)
            PELRIN_NSF_G1_ROW(5) PELRIN_NSF_G1_ROW(6) PELRIN_NSF_G1_ROW(7)

            // Read-modify-write shifts and increments.
            case 0x0A: r.a = asl(r.a); break;
            case 0x4A: r.a = lsr(r.a); break;
            case 0x2A: r.a = rol(r.a); break;
            case 0x6A: r.a = ror(r.a); break;
            case 0x06: cyc = 5; rmw<Modify::kAsl>(zp()); break;
            case 0x16: cyc = 6; rmw<Modify::kAsl>(zpi(r.x)); break;
            case 0x0E: cyc = 6; rmw<Modify::kAsl>(fetch16()); break;
            case 0x1E: cyc = 7; rmw<Modify::kAsl>(absi(r.x, false)); break;
            case 0x46: cyc = 5; rmw<Modify::kLsr>(zp()); break;
            case 0x56: cyc = 6; rmw<Modify::kLsr>(zpi(r.x)); break;
            case 0x4E: cyc = 6; rmw<Modify::kLsr>(fetch16()); break;
            case 0x5E: cyc = 7; rmw<Modify::kLsr>(absi(r.x, false)); break;
            case 0x26: cyc = 5; rmw<Modify::kRol>(zp()); break;
            case 0x36: cyc = 6; rmw<Modify::kRol>(zpi(r.x)); break;
            case 0x2E: cyc = 6; rmw<Modify::kRol>(fetch16()); break;
            case 0x3E: cyc = 7; rmw<Modify::kRol>(absi(r.x, false)); break;
            case 0x66: cyc = 5; rmw<Modify::kRor>(zp()); break;
            case 0x76: cyc = 6; rmw<Modify::kRor>(zpi(r.x)); break;
            case 0x6E: cyc = 6; rmw<Modify::kRor>(fetch16()); break;
            case 0x7E: cyc = 7; rmw<Modify::kRor>(absi(r.x, false)); break;
            case 0xE6: cyc = 5; rmw<Modify::kInc>(zp()); break;
            case 0xF6: cyc = 6; rmw<Modify::kInc>(zpi(r.x)); break;
            case 0xEE: cyc = 6; rmw<Modify::kInc>(fetch16()); break;
            case 0xFE: cyc = 7; rmw<Modify::kInc>(absi(r.x, false)); break;
            case 0xC6: cyc = 5; rmw<Modify::kDec>(zp()); break;
            case 0xD6: cyc = 6; rmw<Modify::kDec>(zpi(r.x)); break;
            case 0xCE: cyc = 6; rmw<Modify::kDec>(fetch16()); break;
            case 0xDE: cyc = 7; rmw<Modify::kDec>(absi(r.x, false)); break;

            // Loads and stores of X and Y.
            case 0xA2: r.x = fetch(); r.setZN(r.x); break;
            case 0xA6: cyc = 3; r.x = load(zp()); r.setZN(r.x); break;
            case 0xB6: cyc = 4; r.x = load(zpi(r.y)); r.setZN(r.x); break;
            case 0xAE: cyc = 4; r.x = load(fetch16()); r.setZN(r.x); break;
            case 0xBE: cyc = 4; r.x = load(absi(r.y, true)); r.setZN(r.x); break;
            case 0xA0: r.y = fetch(); r.setZN(r.y); break;
            case 0xA4: cyc = 3; r.y = load(zp()); r.setZN(r.y); break;
            case 0xB4: cyc = 4; r.y = load(zpi(r.x)); r.setZN(r.y); break;
            case 0xAC: cyc = 4; r.y = load(fetch16()); r.setZN(r.y); break;
            case 0xBC: cyc = 4; r.y = load(absi(r.x, true)); r.setZN(r.y); break;
            case 0x86: cyc = 3; store(zp(), r.x); break;
            case 0x96: cyc = 4; store(zpi(r.y), r.x); break;
            case 0x8E: cyc = 4; store(fetch16(), r.x); break;
            case 0x84: cyc = 3; store(zp(), r.y); break;
            case 0x94: cyc = 4; store(zpi(r.x), r.y); break;
            case 0x8C: cyc = 4; store(fetch16(), r.y); break;

            // Compares and BIT.
            case 0xE0: compare(r.x, fetch()); break;
            case 0xE4: cyc = 3; compare(r.x, load(zp())); break;
            case 0xEC: cyc = 4; compare(r.x, load(fetch16())); break;
            case 0xC0: compare(r.y, fetch()); break;
            case 0xC4: cyc = 3; compare(r.y, load(zp())); break;
            case 0xCC: cyc = 4; compare(r.y, load(fetch16())); break;
            case 0x24: cyc = 3; bit(load(zp())); break;
            case 0x2C: cyc = 4; bit(load(fetch16())); break;

            // Register transfers, increments, flags.
            case 0xAA: r.x = r.a; r.setZN(r.x); break;
            case 0x8A: r.a = r.x; r.setZN(r.a); break;
            case 0xA8: r.y = r.a; r.setZN(r.y); break;
            case 0x98: r.a = r.y; r.setZN(r.a); break;
            case 0xBA: r.x = r.s; r.setZN(r.x); break;
            case 0x9A: r.s = r.x; break;
            case 0xCA: r.x = dec(r.x); break;
            case 0xE8: r.x = inc(r.x); break;
            case 0x88: r.y = dec(r.y); break;
            case 0xC8: r.y = inc(r.y); break;
            case 0x18: r.setCarry(0); break;
            case 0x38: r.setCarry(1); break;
            // CLI, SEI and PLP keep the old mask for the next poll (see storeBack).
            case 0x58: maskBeforeOp = (r.p & I) ? 1 : 0; r.p &= static_cast<uint8_t>(~I); ++cpu.maskInstructions_; break;
            case 0x78: maskBeforeOp = (r.p & I) ? 1 : 0; r.p |= I; ++cpu.maskInstructions_; break;
            case 0xB8: r.setOverflowFromBit7(0); break;
            case 0xD8: r.p &= static_cast<uint8_t>(~D); break;
            case 0xF8: r.p |= D; break;
            case 0xEA: break;

            // Stack.
            case 0x48: cyc = 3; push(r.a); break;
            case 0x08: cyc = 3; push(static_cast<uint8_t>(r.flags() | B | U)); break;
            case 0x68: cyc = 4; r.a = pull(); r.setZN(r.a); break;
            case 0x28:
                cyc = 4;
                maskBeforeOp = (r.p & I) ? 1 : 0;
                r.setFlags(static_cast<uint8_t>((pull() & ~B) | U));
                ++cpu.maskInstructions_;
                break;

            // Branches: 2 cycles, 3 when taken, 4 when taken to another page.
            case 0x10: branch(!r.negative()); break;
            case 0x30: branch(r.negative()); break;
            case 0x50: branch(!r.overflow()); break;
            case 0x70: branch(r.overflow()); break;
            case 0x90: branch(!r.carry()); break;
            case 0xB0: branch(r.carry()); break;
            case 0xD0: branch(!r.zero()); break;
            case 0xF0: branch(r.zero()); break;

            // Jumps, calls, returns, interrupts.
            case 0x4C: cyc = 3; r.pc = fetch16(); break;
            case 0x6C: {
                cyc = 5;
                uint16_t ptr = fetch16();
                // The pointer's high byte comes from the same page: ($10FF) reads $10FF and $1000.
                uint16_t lo = rd(ptr, 0);
                uint16_t hi = rd(static_cast<uint16_t>((ptr & 0xFF00) | ((ptr + 1) & 0xFF)), 0);
                r.pc = static_cast<uint16_t>(lo | (hi << 8));
                break;
            }
            case 0x20: {
                cyc = 6;
                uint16_t target = fetch16();
                uint16_t ret = static_cast<uint16_t>(r.pc - 1);
                push(static_cast<uint8_t>(ret >> 8));
                push(static_cast<uint8_t>(ret));
                r.pc = target;
                break;
            }
            case 0x60: {
                cyc = 6;
                uint16_t lo = pull();
                uint16_t hi = pull();
                r.pc = static_cast<uint16_t>((lo | (hi << 8)) + 1);
                break;
            }
            case 0x40: {
                cyc = 6;
                ++cpu.maskInstructions_;
                r.setFlags(static_cast<uint8_t>((pull() & ~B) | U));
                uint16_t lo = pull();
                uint16_t hi = pull();
                r.pc = static_cast<uint16_t>(lo | (hi << 8));
                break;
            }
            case 0x00:
                // BRK skips a padding byte. Rare: the object's own sequence runs it.
                cyc = 7;
                ++r.pc;
                storeBack(op);
                cpu.interrupt(0xFFFE, true);
                hold();
                sawBus();
                break;

            // Unofficial NOPs and the SBC alias.
            case 0x1A: case 0x3A: case 0x5A: case 0x7A: case 0xDA: case 0xFA: break;
            case 0x80: case 0x82: case 0x89: case 0xC2: case 0xE2: ++r.pc; break;
            case 0x04: case 0x44: case 0x64: cyc = 3; load(zp()); break;
            case 0x14: case 0x34: case 0x54: case 0x74: case 0xD4: case 0xF4: cyc = 4; load(zpi(r.x)); break;
            case 0x0C: cyc = 4; load(fetch16()); break;
            case 0x1C: case 0x3C: case 0x5C: case 0x7C: case 0xDC: case 0xFC: cyc = 4; load(absi(r.x, true)); break;
            case 0xEB: adc(static_cast<uint8_t>(~fetch())); break;

            case 0x02: case 0x12: case 0x22: case 0x32: case 0x42: case 0x52:
            case 0x62: case 0x72: case 0x92: case 0xB2: case 0xD2: case 0xF2:
                r.pc = opPc;
                storeBack(op);
                Stop(opPc, op, true);
            default:
                r.pc = opPc;
                storeBack(op);
                Stop(opPc, op, false);
            }
#undef PELRIN_NSF_G1_ROW
#undef PELRIN_NSF_G1
            r.cycles += cyc;
            if (OneInstruction || r.pc == stopPc || r.cycles >= runEnd || (r.pc <= opPc && r.s == opS)) {
                storeBack(op);
                return {opPc, opS};
            }
        }
    }
};

unsigned Cpu6502::execute() {
    Runner<true> runner{*this, 0, nullptr};
    runner.run(0);
    return runner.cyc;
}

Cpu6502::LastInstruction Cpu6502::run(uint16_t stopPc, uint64_t endCycle, const uint64_t &watched) {
    Runner<false> runner{*this, endCycle, &watched};
    return runner.run(stopPc);
}

} // namespace pelrin_nsf
