/*
 * pelrin-checksum: drives the sound library the way a host emulator does and
 * prints one line per built-in scenario with a checksum of everything the
 * library produced (rendered bytes, stall counts, read results, interrupt
 * predictions, timestamps). The same scenarios run on every platform, so the
 * outputs of two builds can be compared byte for byte.
 *
 * Besides the checksums it checks results that any correct build must give
 * (APU_Reset returns 0, the timestamp follows the host's cycle count, the
 * byte counts match the sample rate, status reads, Namco 163 RAM read-back)
 * and exits 1 when one of them fails.
 *
 * Uses only the public header and links against the shared library.
 */
#include "pelrin.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define BUFFER_CAPACITY 65536u

/* Per-scenario record of what the host saw. */
typedef struct {
    const char *name;
    uint64_t hash;          /* FNV-1a 64 over bytes and folded values */
    uint64_t bytes;         /* rendered bytes collected */
    uint64_t frames;        /* output frames collected */
    uint64_t cyclesRun;     /* CPU cycles run, stall cycles included */
    uint32_t stalls;        /* stall cycles returned by the library */
    uint32_t cycle;         /* the host's CPU cycle count */
    uint32_t irqFolds;      /* APU_FindNextIRQ answers folded in */
    uint32_t bytesPerFrame; /* current output frame size */
    double cyclesPerFrameOut; /* CPU cycles per output sample, for the rate check */
    int checkRate;          /* 1 when the byte count must match the rate */
    uint32_t lastCollectCycle;
} Scenario;

static Scenario sc;
static uint8_t buffer[BUFFER_CAPACITY];
static uint32_t bufferSize;
static uint8_t banks[8][4096];
static float envClock = 1789772.75f;
static unsigned checksRun;
static unsigned checksFailed;

/* ---------------------------------------------------------------- checks */

static void check(int ok, const char *what, unsigned long long got, unsigned long long want)
{
    checksRun++;
    if (!ok) {
        checksFailed++;
        printf("CHECK FAILED [%s]: %s (got %llu, want %llu)\n", sc.name ? sc.name : "-", what, got, want);
    }
}

/* Arguments are evaluated exactly once: many of them are library calls. */
static void check_eq(const char *what, unsigned long long got, unsigned long long want)
{
    check(got == want, what, got, want);
}
#define CHECK_EQ(what, got, want) \
    check_eq(what, (unsigned long long)(got), (unsigned long long)(want))

/* ------------------------------------------------------------- hashing */

static void fold_bytes(const void *data, size_t n)
{
    const uint8_t *p = (const uint8_t *)data;
    uint64_t h = sc.hash;
    for (size_t i = 0; i < n; i++) {
        h ^= p[i];
        h *= 0x100000001b3ULL;
    }
    sc.hash = h;
}

/* Folds a 32-bit value as four little-endian bytes, whatever the host's
 * byte order. */
static void fold_u32(uint32_t v)
{
    uint8_t b[4] = {(uint8_t)v, (uint8_t)(v >> 8), (uint8_t)(v >> 16), (uint8_t)(v >> 24)};
    fold_bytes(b, 4);
}

/* --------------------------------------------------------- host actions */

static void add_stall(uint32_t stall)
{
    fold_u32(stall);
    sc.stalls += stall;
    sc.cycle += stall;
}

static void host_write(uint32_t address, uint32_t value)
{
    add_stall(APU_RegWrite(address, value, sc.cycle));
}

static uint8_t host_read(uint32_t address, uint8_t bus)
{
    uint8_t data = bus;
    add_stall(APU_RegRead(address, &data, sc.cycle));
    fold_bytes(&data, 1);
    return data;
}

static void host_wait(uint32_t cycles)
{
    sc.cycle += cycles;
}

static uint32_t host_next_irq(void)
{
    uint32_t v = APU_FindNextIRQ();
    fold_u32(v);
    sc.irqFolds++;
    return v;
}

/* End of a stretch of emulation: run to the host's cycle, collect the bytes
 * and rewind, as a host emulator does once per video frame. */
static uint32_t host_collect(void)
{
    add_stall(APU_RunToCycle(sc.cycle));
    CHECK_EQ("timestamp equals host cycle after a run", APU_GetTimestamp(), sc.cycle);
    uint32_t n = APU_GetWrittenBufferSize(1);
    check(n <= bufferSize, "written bytes fit the buffer", n, bufferSize);
    check(sc.bytesPerFrame != 0 && n % sc.bytesPerFrame == 0, "whole frames written", n, sc.bytesPerFrame);
    if (n > bufferSize)
        n = bufferSize;
    fold_u32(n);
    fold_bytes(buffer, n);
    sc.bytes += n;
    if (sc.bytesPerFrame)
        sc.frames += n / sc.bytesPerFrame;
    CHECK_EQ("nothing written after a rewinding collect", APU_GetWrittenBufferSize(0), 0);
    host_next_irq();
    fold_u32(APU_GetTimestamp());
    sc.cyclesRun += sc.cycle - sc.lastCollectCycle;
    sc.lastCollectCycle = sc.cycle;
    return n;
}

/* Runs `stretches` stretches of `length` CPU cycles each, collecting after
 * every one. */
static void host_play(unsigned stretches, uint32_t length)
{
    for (unsigned i = 0; i < stretches; i++) {
        host_wait(length);
        host_collect();
    }
}

/* ------------------------------------------------------- scenario frame */

typedef struct {
    int32_t chip;
    int32_t rate, bits, channels;
    int pal;
    uint32_t buffer;   /* buffer size in bytes; 0 means the whole buffer */
} Setup;

static void set_format(int32_t rate, int32_t bits, int32_t channels)
{
    APU_SetOutputFormat(rate, bits, channels);
    sc.bytesPerFrame = (uint32_t)(bits / 8 * channels);
    sc.cyclesPerFrameOut = (double)envClock / (double)rate;
}

static void scenario_begin(const char *name, const Setup *s)
{
    memset(&sc, 0, sizeof sc);
    sc.name = name;
    sc.hash = 0xcbf29ce484222325ULL;
    sc.checkRate = 1;

    APU_Initialize();
    APU_Configure(1.0f, -1, -1);
    if (s->pal) {
        envClock = 1662607.125f;
        APU_SetEnvironment(1, envClock, 8313.0f);
    } else {
        envClock = 1789772.75f;
        APU_SetEnvironment(0, envClock, 7457.5f);
    }
    set_format(s->rate, s->bits, s->channels);
    bufferSize = s->buffer ? s->buffer : BUFFER_CAPACITY;
    memset(buffer, 0xA5, sizeof buffer);
    APU_SetOutputBuffer(buffer, bufferSize);
    for (int32_t b = 0; b < 8; b++)
        APU_SetDMAPointer(b, banks[b]);

    CHECK_EQ("APU_Reset returns 0", APU_Reset(s->chip), 0);
    CHECK_EQ("timestamp 0 after reset", APU_GetTimestamp(), 0);
    CHECK_EQ("buffer empty after reset", APU_GetWrittenBufferSize(0), 0);
}

static void scenario_end(void)
{
    if (sc.checkRate && sc.cyclesPerFrameOut > 0.0) {
        double want = (double)sc.cyclesRun / sc.cyclesPerFrameOut;
        double diff = (double)sc.frames - want;
        check(diff > -2.0 && diff < 2.0, "frame count matches the sample rate",
              (unsigned long long)sc.frames, (unsigned long long)(want + 0.5));
    }
    printf("%-28s bytes=%-8llu stalls=%-6u irq=%-3u fnv64=%016llx\n", sc.name,
           (unsigned long long)sc.bytes, sc.stalls, sc.irqFolds, (unsigned long long)sc.hash);
}

/* --------------------------------------------------------------- data */

static void fill_banks(void)
{
    uint32_t x = 0x2545F491u;
    for (int b = 0; b < 8; b++)
        for (int i = 0; i < 4096; i++) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            banks[b][i] = (uint8_t)(x >> 11);
        }
    /* A recognisable ramp-up sample at $C800 and a ramp-down one at $E000. */
    for (int i = 0; i < 256; i++) {
        banks[4][0x800 + i] = (i & 16) ? 0x00 : 0xFF;
        banks[6][i] = (uint8_t)(0x55 ^ i);
    }
}

/* -------------------------------------------------------------- scenarios */

/* Before APU_Initialize every level table is zero: 8-bit output is 128. */
static void scenario_uninitialised(void)
{
    memset(&sc, 0, sizeof sc);
    sc.name = "before-initialize-8bit";
    sc.hash = 0xcbf29ce484222325ULL;
    sc.checkRate = 1;
    set_format(22050, 8, 1);
    bufferSize = 4096;
    memset(buffer, 0x11, sizeof buffer);
    APU_SetOutputBuffer(buffer, bufferSize);
    CHECK_EQ("APU_Reset returns 0", APU_Reset(0), 0);
    host_write(0x4015, 0x0F);
    host_write(0x4000, 0xBF);
    host_write(0x4002, 0x40);
    host_write(0x4003, 0x08);
    host_wait(20000);
    add_stall(APU_RunToCycle(sc.cycle));
    uint32_t n = APU_GetWrittenBufferSize(0);
    check(n > 200, "frames written before initialize", n, 200);
    int silent = 1;
    for (uint32_t i = 0; i < n && i < bufferSize; i++)
        if (buffer[i] != 128)
            silent = 0;
    CHECK_EQ("output before initialize is 8-bit silence", silent, 1);
    APU_ResetOutputBuffer();
    CHECK_EQ("APU_ResetOutputBuffer rewinds", APU_GetWrittenBufferSize(0), 0);
    sc.cyclesRun = 0;
    sc.lastCollectCycle = sc.cycle;
    host_play(3, 7000);
    scenario_end();
}

static void scenario_pulses(void)
{
    Setup s = {PELRIN_CHIP_NONE, 44100, 16, 1, 0, 0};
    scenario_begin("pulse-envelope-sweep", &s);
    /* Frame counter after reset: the interrupt comes at the fourth step. */
    CHECK_EQ("frame interrupt predicted after reset", host_next_irq(), 29830);
    host_write(0x4015, 0x03);
    /* Pulse 1: duty 1, decaying envelope period 3, sweep down. */
    host_write(0x4000, 0x43);
    host_write(0x4001, 0x9A);
    host_write(0x4002, 0xF0);
    host_write(0x4003, 0x09);
    /* Pulse 2: duty 2, constant volume 12, length halted, sweep up. */
    host_wait(113);
    host_write(0x4004, 0xBC);
    host_write(0x4005, 0xA3);
    host_write(0x4006, 0x80);
    host_write(0x4007, 0xF2);
    uint8_t st = host_read(0x4015, 0);
    CHECK_EQ("$4015 shows both pulse lengths", st & 0x03, 0x03);
    host_play(4, 29781);
    /* Looping envelope, new period mid-stretch, duty 3. */
    host_write(0x4000, 0xE1);
    host_wait(5000);
    host_write(0x4002, 0x23);
    host_write(0x4003, 0x51);
    host_wait(7001);
    host_write(0x4001, 0x00);
    host_play(3, 29780);
    /* Period below 8 mutes pulse 2; then silence pulse 1 through $4015. */
    host_write(0x4006, 0x05);
    host_write(0x4007, 0x08);
    host_wait(3000);
    host_write(0x4015, 0x02);
    st = host_read(0x4015, 0);
    CHECK_EQ("$4015 bit 0 clear after disabling pulse 1", st & 0x01, 0);
    host_play(2, 29781);
    scenario_end();
}

static void scenario_triangle(const char *name, int32_t shape, int32_t rate, int32_t bits)
{
    Setup s = {PELRIN_CHIP_NONE, rate, bits, 1, 0, 0};
    scenario_begin(name, &s);
    APU_Configure(-1.0f, -1, shape);
    host_write(0x4015, 0x04);
    host_write(0x4008, 0x81);      /* control set, linear reload 1 */
    host_write(0x400A, 0xFD);
    host_write(0x400B, 0x00);
    host_play(2, 29781);
    host_write(0x4008, 0x7F);      /* linear counter runs, length counts */
    host_write(0x400A, 0x3A);
    host_write(0x400B, 0x19);
    host_play(3, 29780);
    host_write(0x400A, 0x01);      /* ultrasonic period */
    host_write(0x400B, 0xF8);
    host_play(2, 29781);
    uint8_t st = host_read(0x4015, 0);
    fold_bytes(&st, 1);
    scenario_end();
}

static void scenario_noise(void)
{
    Setup s = {PELRIN_CHIP_NONE, 48000, 16, 1, 0, 0};
    scenario_begin("noise-long-short", &s);
    host_write(0x4015, 0x08);
    host_write(0x400C, 0x3A);      /* halt, constant volume 10 */
    host_write(0x400E, 0x05);      /* long mode */
    host_write(0x400F, 0x18);
    host_play(3, 29781);
    host_write(0x400E, 0x8B);      /* short mode */
    host_play(3, 29780);
    host_write(0x400C, 0x05);      /* envelope, decays, length counts */
    host_write(0x400E, 0x0F);
    host_write(0x400F, 0x00);
    host_play(6, 29781);
    uint8_t st = host_read(0x4015, 0);
    CHECK_EQ("noise length ran out", st & 0x08, 0);
    scenario_end();
}

static void scenario_dmc(const char *name, int pal, int32_t rate)
{
    Setup s = {PELRIN_CHIP_NONE, rate, 16, 1, pal, 0};
    scenario_begin(name, &s);
    uint32_t frame = pal ? 33248 : 29781;
    host_write(0x4011, 0x40);
    /* Looping sample at $C800, fastest rate. */
    host_write(0x4010, 0x4F);
    host_write(0x4012, 0x20);
    host_write(0x4013, 0x10);
    host_write(0x4015, 0x10);
    uint8_t st = host_read(0x4015, 0);
    CHECK_EQ("$4015 shows the sample playing", st & 0x10, 0x10);
    host_play(3, frame);
    check(sc.stalls > 0, "sample fetches stall the CPU", sc.stalls, 1);
    /* Triangle and noise under the DMC attenuation. */
    host_write(0x4015, 0x1C);
    host_write(0x4008, 0xFF);
    host_write(0x400A, 0x80);
    host_write(0x400B, 0x00);
    host_write(0x400C, 0x3F);
    host_write(0x400E, 0x03);
    host_write(0x400F, 0x00);
    host_play(2, frame);
    /* One-shot sample with interrupt, wrapping past $FFFF into bank 0. */
    host_write(0x4010, 0x8C);
    host_write(0x4012, 0xFF);
    host_write(0x4013, 0x02);
    host_write(0x4015, 0x00);
    host_write(0x4015, 0x1C);
    host_read(0x4015, 0);          /* clears a pending frame interrupt */
    uint32_t irq = host_next_irq();
    check(irq != 0 && irq != 0xFFFFFFFFu, "DMC interrupt predicted", irq, 1);
    host_play(1, frame);
    st = host_read(0x4015, 0);
    CHECK_EQ("DMC interrupt flag after the sample ends", st & 0x90, 0x80);
    CHECK_EQ("interrupt pending", host_next_irq(), 0);
    host_write(0x4015, 0x0C);      /* clears the DMC interrupt */
    host_write(0x4017, 0x40);      /* no frame interrupts */
    CHECK_EQ("no interrupt foreseen", host_next_irq(), 0xFFFFFFFFu);
    /* Slow looping sample in the middle of a bank, several rates. */
    host_write(0x4010, 0x40);
    host_write(0x4012, 0x80);
    host_write(0x4013, 0x40);
    host_write(0x4015, 0x1C);
    host_play(2, frame);
    host_write(0x4010, 0x47);
    host_play(2, frame);
    scenario_end();
}

static void scenario_dmc_ramp(int ramp)
{
    Setup s = {PELRIN_CHIP_NONE, 44100, 16, 1, 0, 0};
    scenario_begin(ramp ? "dmc-4011-ramp-on" : "dmc-4011-ramp-off", &s);
    APU_Configure(-1.0f, ramp, -1);
    host_write(0x4015, 0x04);
    host_write(0x4008, 0xFF);
    host_write(0x400A, 0x40);
    host_write(0x400B, 0x00);
    static const uint8_t levels[] = {0x7F, 0x00, 0x30, 0x31, 0x60, 0x10, 0x10, 0x55, 0x02, 0x40};
    for (unsigned i = 0; i < sizeof levels; i++) {
        host_write(0x4011, levels[i]);
        host_wait(1500 + 700 * i);
        if (i % 3 == 2)
            host_collect();
    }
    host_play(2, 29781);
    /* A short sample, then the level it ends on is kept. */
    host_write(0x4010, 0x0A);
    host_write(0x4012, 0x00);
    host_write(0x4013, 0x01);
    host_write(0x4015, 0x14);
    host_wait(4000);
    host_write(0x4011, 0x20);
    host_play(2, 29781);
    scenario_end();
}

static void scenario_frame_counter(void)
{
    Setup s = {PELRIN_CHIP_NONE, 8000, 8, 1, 0, 0};
    scenario_begin("frame-counter-irq", &s);
    host_write(0x4015, 0x0F);
    host_write(0x4000, 0x0F);
    host_write(0x4003, 0x00);      /* length counts, envelope decays */
    host_wait(29830);
    uint8_t st = host_read(0x4015, 0);
    CHECK_EQ("frame interrupt at cycle 29830", st & 0x40, 0x40);
    st = host_read(0x4015, 0);
    CHECK_EQ("$4015 read clears the frame interrupt", st & 0x40, 0);
    host_collect();
    host_write(0x4017, 0x80);      /* five-step mode */
    CHECK_EQ("$4017 read shows five-step mode", host_read(0x4017, 0x15), 0x95);
    host_play(3, 29781);
    host_write(0x4017, 0xC0);
    CHECK_EQ("$4017 read shows inhibit", host_read(0x4017, 0xFF), 0xFF);
    CHECK_EQ("five-step mode with inhibit: none foreseen", host_next_irq(), 0xFFFFFFFFu);
    host_write(0x4017, 0x00);
    host_play(3, 29780);
    host_read(0x4015, 0);
    /* Open bus and the unanswered Namco 163 port. */
    CHECK_EQ("open bus reads the high byte", host_read(0x5015, 0), 0x50);
    CHECK_EQ("$4800 without Namco 163 keeps the byte", host_read(0x4800, 0x3C), 0x3C);
    /* A timestamp moved by the host. */
    APU_SetTimestamp(100000);
    sc.cycle = 100000;
    sc.lastCollectCycle = sc.cycle;
    CHECK_EQ("APU_SetTimestamp", APU_GetTimestamp(), 100000);
    host_play(2, 29781);
    scenario_end();
}

static void scenario_vrc6(int32_t rate, int32_t channels)
{
    Setup s = {PELRIN_CHIP_VRC6, rate, 16, channels, 0, 0};
    scenario_begin(channels == 2 ? "vrc6-stereo" : "vrc6-mono", &s);
    if (channels == 2) {
        APU_SetChannelOptions(PELRIN_CH_VRC6_PULSE1, 1, 255, -100);
        APU_SetChannelOptions(PELRIN_CH_VRC6_PULSE2, 1, 200, 90);
        APU_SetChannelOptions(PELRIN_CH_VRC6_SAW, 1, 230, 0);
    }
    host_write(0x9000, 0x3C);      /* duty 3, volume 12 */
    host_write(0x9001, 0x20);
    host_write(0x9002, 0x81);
    host_write(0xA000, 0x7A);
    host_write(0xA001, 0x90);
    host_write(0xA002, 0x80);
    host_write(0xB000, 0x2A);
    host_write(0xB001, 0x40);
    host_write(0xB002, 0x82);
    host_play(3, 29781);
    host_write(0x9000, 0x8F);      /* direct mode */
    host_write(0xB000, 0x3F);
    host_write(0xA002, 0x00);      /* pulse 2 off */
    host_play(2, 29780);
    host_write(0xB002, 0x02);      /* saw pauses, then resumes */
    host_wait(9000);
    host_write(0xB002, 0x81);
    host_write(0x9003, 0xFF);      /* not a register */
    host_write(0xA002, 0x83);
    host_write(0x4015, 0x01);
    host_write(0x4000, 0xB8);
    host_write(0x4002, 0x00);
    host_write(0x4003, 0x02);
    host_play(3, 29781);
    scenario_end();
}

static void scenario_mmc5(void)
{
    Setup s = {PELRIN_CHIP_MMC5, 96000, 16, 2, 0, 0};
    scenario_begin("mmc5-stereo-96000", &s);
    APU_SetChannelOptions(PELRIN_CH_MMC5_PULSE1, 1, 255, -127);
    APU_SetChannelOptions(PELRIN_CH_MMC5_PULSE2, 1, 255, 127);
    APU_SetChannelOptions(PELRIN_CH_MMC5_PCM, 1, 180, 40);
    host_write(0x5015, 0x03);
    host_write(0x5000, 0x86);      /* envelope period 6 */
    host_write(0x5002, 0x80);
    host_write(0x5003, 0x0A);
    host_write(0x5004, 0x3D);      /* constant volume, halted */
    host_write(0x5006, 0x11);
    host_write(0x5007, 0x01);
    host_write(0x5001, 0xFF);      /* no sweep on these pulses */
    host_write(0x5010, 0x01);
    for (int i = 0; i < 64; i++) {
        host_write(0x5011, (uint32_t)((i * 37) & 0xFF));
        host_wait(97 + (uint32_t)i * 13);
    }
    host_collect();
    host_play(3, 29781);
    host_write(0x4017, 0x80);      /* clocks the MMC5 envelopes too */
    host_write(0x5006, 0x04);      /* period below 8 mutes */
    host_play(2, 29780);
    host_write(0x5015, 0x01);
    host_write(0x5011, 0x00);
    host_play(2, 29781);
    host_write(0x5010, 0x00);
    host_play(1, 29781);
    scenario_end();
}

static void n163_write(uint8_t address, uint8_t value)
{
    host_write(0xF800, address);
    host_write(0x4800, value);
}

static void scenario_n163(const char *name, int channelsCode, int32_t rate, int32_t outChannels)
{
    Setup s = {PELRIN_CHIP_N163, rate, 16, outChannels, 0, 0};
    scenario_begin(name, &s);
    CHECK_EQ("Namco 163 RAM cleared by reset", host_read(0x4800, 0x77), 0);
    if (outChannels == 2)
        for (int c = 0; c < 8; c++)
            APU_SetChannelOptions(PELRIN_CH_N163_FIRST + c, 1, 255 - 10 * c, -120 + 34 * c);
    /* Wave RAM $00-$3F with auto-increment: four different waves. */
    host_write(0xF800, 0x80);
    uint8_t wave[64];
    for (int i = 0; i < 64; i++) {
        int a = (2 * i) & 31, b = (2 * i + 1) & 31, w = i / 16;
        int lo = w == 0 ? (a < 16 ? a : 31 - a) : w == 1 ? (a < 16 ? 15 : 0) : w == 2 ? a / 2 : (a * 7) & 15;
        int hi = w == 0 ? (b < 16 ? b : 31 - b) : w == 1 ? (b < 16 ? 15 : 0) : w == 2 ? b / 2 : (b * 7) & 15;
        wave[i] = (uint8_t)(lo | (hi << 4));
        host_write(0x4800, wave[i]);
    }
    /* Read back with auto-increment from $00. */
    host_write(0xF800, 0x80);
    int same = 1;
    for (int i = 0; i < 64; i++)
        if (host_read(0x4800, 0) != wave[i])
            same = 0;
    CHECK_EQ("wave RAM reads back", same, 1);
    /* Channel registers at $40 + 8c; channel 7's volume byte holds the count. */
    for (int c = 0; c < 8; c++) {
        uint8_t base = (uint8_t)(0x40 + 8 * c);
        uint32_t freq = 0x1800u + 0x0900u * (uint32_t)c;
        n163_write(base + 0, (uint8_t)freq);
        n163_write(base + 2, (uint8_t)(freq >> 8));
        n163_write(base + 4, (uint8_t)((freq >> 16) | ((c & 1) ? 0x1C : 0x00)));
        n163_write(base + 6, (uint8_t)((c & 3) * 32));
        n163_write(base + 7, (uint8_t)(c == 7 ? (channelsCode << 4) | 0x0B : 0x08 + c));
    }
    host_play(3, 29781);
    /* Change a wave while it plays and retune channel 7. */
    host_write(0xF800, 0x88);
    for (int i = 0; i < 8; i++)
        host_write(0x4800, (uint8_t)(0x0F * (i & 1) + 0xF0 * ((i >> 1) & 1)));
    n163_write(0x7A, 0x40);
    n163_write(0x7C, 0x01);
    n163_write(0x7E, 0x21);
    host_play(3, 29780);
    host_write(0xF800, 0x7F);
    CHECK_EQ("channel 7 volume byte reads back", host_read(0x4800, 0),
             (uint32_t)((channelsCode << 4) | 0x0B));
    scenario_end();
}

/* Every 2A03 channel in stereo with pans, 8-bit, reduced master volume. */
static void scenario_stereo_mix(const char *name, int32_t bits, int32_t rate, float master)
{
    Setup s = {PELRIN_CHIP_NONE, rate, bits, 2, 0, 0};
    scenario_begin(name, &s);
    APU_Configure(master, -1, -1);
    APU_SetChannelOptions(PELRIN_CH_PULSE1, 1, 255, -127);
    APU_SetChannelOptions(PELRIN_CH_PULSE2, 1, 128, 127);
    APU_SetChannelOptions(PELRIN_CH_TRIANGLE, 1, 240, -30);
    APU_SetChannelOptions(PELRIN_CH_NOISE, 1, 100, 64);
    APU_SetChannelOptions(PELRIN_CH_DMC, 1, 255, 5);
    host_write(0x4015, 0x1F);
    host_write(0x4000, 0xBF);
    host_write(0x4002, 0xFD);
    host_write(0x4003, 0x00);
    host_write(0x4004, 0x7F);
    host_write(0x4006, 0x7E);
    host_write(0x4007, 0x01);
    host_write(0x4008, 0xFF);
    host_write(0x400A, 0xA9);
    host_write(0x400B, 0x00);
    host_write(0x400C, 0x34);
    host_write(0x400E, 0x06);
    host_write(0x400F, 0x00);
    host_write(0x4010, 0x4D);
    host_write(0x4012, 0x40);
    host_write(0x4013, 0x08);
    host_write(0x4015, 0x1F);
    host_play(3, 29781);
    APU_SetChannelOptions(PELRIN_CH_PULSE2, 0, -1, -1);
    APU_SetChannelOptions(PELRIN_CH_TRIANGLE, -1, 300, 200);   /* out of range: ignored */
    APU_SetChannelOptions(19, 0, 0, 0);                          /* no such channel */
    host_play(2, 29780);
    APU_SetChannelOptions(PELRIN_CH_PULSE2, 1, -1, -1);
    APU_Configure(-1.0f, -1, -1);
    APU_Configure(master * 3.0f, -1, -1);                        /* loud: clips */
    host_play(2, 29781);
    scenario_end();
}

/* Every mixer channel switched off: exact silence in both formats. */
static void scenario_all_off(int32_t bits)
{
    Setup s = {PELRIN_CHIP_VRC6, 22050, bits, 2, 0, 0};
    scenario_begin(bits == 8 ? "all-channels-off-8bit" : "all-channels-off-16bit", &s);
    for (int32_t c = 0; c < PELRIN_CHANNEL_COUNT; c++)
        APU_SetChannelOptions(c, 0, -1, -1);
    host_write(0x4015, 0x1F);
    host_write(0x4000, 0xBF);
    host_write(0x4003, 0x00);
    host_write(0x4011, 0x7F);
    host_write(0x9000, 0x0F);
    host_write(0x9002, 0x80);
    host_wait(20000);
    add_stall(APU_RunToCycle(sc.cycle));
    uint32_t n = APU_GetWrittenBufferSize(0);
    check(n > 0, "frames written", n, 1);
    int silent = 1;
    for (uint32_t i = 0; i < n; i++)
        if (buffer[i] != (bits == 8 ? 0x80 : 0x00))
            silent = 0;
    CHECK_EQ("channels off in the mixer give silence", silent, 1);
    host_collect();
    host_play(2, 29781);
    scenario_end();
}

/* A buffer with room for a few frames only: samples are held back. */
static void scenario_small_buffer(void)
{
    Setup s = {PELRIN_CHIP_NONE, 44100, 16, 2, 0, 10};
    scenario_begin("small-buffer-holdback", &s);
    sc.checkRate = 0;
    host_write(0x4015, 0x01);
    host_write(0x4000, 0xBF);
    host_write(0x4002, 0x30);
    host_write(0x4003, 0x00);
    for (int i = 0; i < 40; i++) {
        host_wait(60 + (uint32_t)i * 17);
        uint32_t n = host_collect();
        check(n <= 8, "at most two stereo frames fit in 10 bytes", n, 8);
    }
    scenario_end();
}

/* Format and rate changes in the middle of a buffer, PAL environment. */
static void scenario_format_changes(void)
{
    Setup s = {PELRIN_CHIP_NONE, 22050, 16, 1, 1, 0};
    scenario_begin("pal-format-changes", &s);
    sc.checkRate = 0;
    host_write(0x4015, 0x0F);
    host_write(0x4000, 0x9F);
    host_write(0x4002, 0x80);
    host_write(0x4003, 0x01);
    host_write(0x400C, 0x1C);
    host_write(0x400E, 0x04);
    host_write(0x400F, 0x00);
    host_play(2, 33248);
    host_wait(10000);
    add_stall(APU_RunToCycle(sc.cycle));
    uint32_t before = APU_GetWrittenBufferSize(0);
    set_format(48000, 8, 2);
    CHECK_EQ("format change keeps the written count", APU_GetWrittenBufferSize(0), before);
    APU_SetOutputFormat(0, 12, 3);   /* all ignored */
    CHECK_EQ("invalid format changes nothing", APU_GetWrittenBufferSize(0), before);
    host_wait(10000);
    add_stall(APU_RunToCycle(sc.cycle));
    set_format(8000, 16, 2);
    host_wait(10000);
    sc.bytesPerFrame = 1;            /* mixed frame sizes in this stretch */
    host_collect();
    sc.bytesPerFrame = 4;
    host_play(2, 33248);
    APU_SetEnvironment(-1, 0.0f, 0.0f);   /* ignored */
    APU_SetDMAPointer(8, banks[0]);       /* ignored */
    APU_SetDMAPointer(-1, banks[0]);      /* ignored */
    host_play(1, 33248);
    scenario_end();
}

int main(void)
{
    fill_banks();
    scenario_uninitialised();
    scenario_pulses();
    scenario_triangle("triangle-staircase-22050-8", 0, 22050, 8);
    scenario_triangle("triangle-symmetric-44100-16", 1, 44100, 16);
    scenario_noise();
    scenario_dmc("dmc-ntsc-44100", 0, 44100);
    scenario_dmc("dmc-pal-48000", 1, 48000);
    scenario_dmc_ramp(0);
    scenario_dmc_ramp(1);
    scenario_frame_counter();
    scenario_vrc6(44100, 1);
    scenario_vrc6(48000, 2);
    scenario_mmc5();
    scenario_n163("n163-8ch-mono-44100", 7, 44100, 1);
    scenario_n163("n163-1ch-stereo-22050", 0, 22050, 2);
    scenario_n163("n163-4ch-stereo-96000", 3, 96000, 2);
    scenario_stereo_mix("stereo-pans-8bit-8000", 8, 8000, 0.5f);
    scenario_stereo_mix("stereo-pans-16bit-96000", 16, 96000, 0.8f);
    scenario_all_off(8);
    scenario_all_off(16);
    scenario_small_buffer();
    scenario_format_changes();
    printf("selfcheck: %u checks, %u failed\n", checksRun, checksFailed);
    return checksFailed == 0 ? 0 : 1;
}
