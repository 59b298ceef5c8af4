// A 6502 core as found in the NES/Famicom CPU: every official opcode with its
// cycle count (page-cross and branch penalties included), the decimal flag
// stored but without decimal arithmetic, the indirect-JMP page-wrap quirk.
//
// Unofficial opcodes: the NOP forms (one, two and three bytes) run as NOPs of
// their real length and cycle count, $EB runs as SBC immediate; the twelve
// JAM opcodes and every other unofficial opcode stop the core with CpuError,
// since emulating them wrongly would only hide the problem.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>

// The memory accesses run several times per instruction: inlined into it.
#if defined(__GNUC__)
#define PELRIN_NSF_INLINE inline __attribute__((always_inline))
#define PELRIN_NSF_LAMBDA_INLINE __attribute__((always_inline))
#else
#define PELRIN_NSF_INLINE inline
#define PELRIN_NSF_LAMBDA_INLINE
#endif

namespace pelrin_nsf {

// Memory and I/O seen by the core. cycle is the CPU cycle of the access
// within the running instruction (instruction start + its position).
class Bus {
public:
    virtual ~Bus() = default;
    virtual uint8_t read(uint16_t address, uint64_t cycle) = 0;
    virtual void write(uint16_t address, uint8_t value, uint64_t cycle) = 0;
};

// The core stopped: a JAM opcode or an unsupported unofficial opcode.
class CpuError : public std::runtime_error {
public:
    CpuError(const std::string &message, uint16_t pc, uint8_t opcode)
        : std::runtime_error(message), pc_(pc), opcode_(opcode) {}
    uint16_t pc() const { return pc_; }
    uint8_t opcode() const { return opcode_; }

private:
    uint16_t pc_;
    uint8_t opcode_;
};

class Cpu6502 {
public:
    enum Flag : uint8_t { C = 0x01, Z = 0x02, I = 0x04, D = 0x08, B = 0x10, U = 0x20, V = 0x40, N = 0x80 };

    explicit Cpu6502(Bus &bus) : bus_(bus) {}

    uint8_t a = 0, x = 0, y = 0, s = 0xFD, p = I | U;
    uint16_t pc = 0;
    uint64_t cycles = 0; // CPU cycles so far; the start of the next instruction

    // Power-up/reset sequence: S = $FD, I set, PC from $FFFC, 7 cycles.
    void reset();
    // Interrupt request: taken only while I is clear. 7 cycles when taken.
    // Pushes PC and P with B clear, sets I, jumps through $FFFE.
    bool irq();
    // Non-maskable interrupt through $FFFA. 7 cycles.
    void nmi();
    // Runs one instruction; returns its cycles. Throws CpuError.
    unsigned step() { return execute(); }

    // Where the last instruction of a run began.
    struct LastInstruction {
        uint16_t pc;
        uint8_t s;
    };
    // Runs instructions as step() does, one or more, until after one of
    // them: PC is stopPc, the cycles reach endCycle, `watched` (a count
    // that the bus may change) differs from its value at the start, or PC
    // lies at or before where the instruction began with S unchanged (a
    // jump or branch back). The registers live in locals meanwhile: the bus
    // sees `cycles` (and may add to it) at every access, the other
    // registers only once the run has ended. Throws CpuError, after
    // storing the registers as step() leaves them; an exception from the
    // bus leaves the other registers as they were at the start of the run.
    LastInstruction run(uint16_t stopPc, uint64_t endCycle, const uint64_t &watched);

    // The IRQ input, level-triggered; the host raises and lowers it.
    bool irqLine = false;
    // Whether an IRQ is held off at this instruction boundary. The CPU polls
    // its interrupt inputs before the last cycle of an instruction, so CLI,
    // SEI and PLP change the mask one instruction late (RTI at once).
    bool irqMasked() const { return delayedMask_ >= 0 ? delayedMask_ != 0 : (p & I) != 0; }
    // One instruction, or the interrupt sequence (7 cycles) when the IRQ
    // line is up and not masked. Returns the cycles. Throws CpuError.
    unsigned stepWithInterrupts() { return !irqLine || irqMasked() ? step() : takeIrq(); }
    // Cycles stolen from the CPU (sample fetches): the following accesses
    // and instructions happen that much later.
    void addStall(uint32_t n) { cycles += n; }

    PELRIN_NSF_INLINE void push(uint8_t v) {
        wr(static_cast<uint16_t>(0x100 | s), v, 0);
        --s;
    }
    PELRIN_NSF_INLINE uint8_t pull() {
        ++s;
        return rd(static_cast<uint16_t>(0x100 | s), 0);
    }

    // Memory the core reads or writes itself, in pages of 256 bytes, instead
    // of asking the bus: only for memory whose accesses do nothing besides
    // reading and storing the bytes. Null (the default): through the bus.
    void mapRead(uint8_t page, const uint8_t *bytes) { readPages_[page] = bytes; }
    void mapWrite(uint8_t page, uint8_t *bytes) { writePages_[page] = bytes; }
    // Whether the core stored a byte in mapped memory (which the bus does
    // not see) since the flag was last cleared.
    bool wroteMapped() const { return wroteMapped_; }
    void clearWroteMapped() { wroteMapped_ = false; }

    // Everything besides memory that the next instructions depend on: the
    // registers, PC and the interrupt mask as the next poll sees it. From
    // equal states and unchanged memory the core runs the same instructions
    // in the same cycles.
    struct Registers {
        uint16_t pc;
        uint8_t a, x, y, s, p;
        int8_t mask;
        bool operator==(const Registers &) const = default;
    };
    Registers registers() const { return {pc, a, x, y, s, p, delayedMask_}; }
    // CLI, SEI, PLP and RTI run so far: between two equal counts no
    // instruction changed the interrupt mask.
    uint64_t maskInstructions() const { return maskInstructions_; }

private:
    PELRIN_NSF_INLINE uint8_t rd(uint16_t a, unsigned at) {
        if (const uint8_t *page = readPages_[a >> 8]) return page[a & 0xFF];
        return bus_.read(a, cycles + at);
    }
    PELRIN_NSF_INLINE void wr(uint16_t a, uint8_t v, unsigned at) {
        if (uint8_t *page = writePages_[a >> 8]) {
            page[a & 0xFF] = v;
            wroteMapped_ = true;
            return;
        }
        bus_.write(a, v, cycles + at);
    }
    PELRIN_NSF_INLINE uint16_t read16(uint16_t a) {
        uint16_t lo = rd(a, 0);
        return static_cast<uint16_t>(lo | (rd(static_cast<uint16_t>(a + 1), 0) << 8));
    }
    void interrupt(uint16_t vector, bool brk);
    unsigned takeIrq();

    unsigned execute();
    // The instructions of step() (OneInstruction) and of run().
    template <bool OneInstruction>
    struct Runner;

    Bus &bus_;
    std::array<const uint8_t *, 256> readPages_{};
    std::array<uint8_t *, 256> writePages_{};
    bool wroteMapped_ = false;
    int8_t delayedMask_ = -1; // the I flag as polled after CLI/SEI/PLP; -1: P's own
    uint64_t maskInstructions_ = 0;
};

} // namespace pelrin_nsf
