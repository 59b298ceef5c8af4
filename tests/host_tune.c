/* A host as a host emulator would write it: cycle-stamped register writes,
 * one run per video frame, stall cycles added to the host's own clock, the
 * buffer collected and rewound after each frame. It plays a short tune on
 * the four tone channels and a DMC sample and checks what comes out. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "pelrin.h"

#define RATE 44100
#define FRAME_CYCLES 29781u
#define MAX_SAMPLES (RATE * 10)

static int16_t pcm[MAX_SAMPLES];
static size_t pcmCount;
static uint8_t frameBuffer[4096];
static uint8_t rom[8][4096];
static uint32_t hostCycle;
static uint32_t stolen;
static int failures;

static void check(int ok, const char *what) {
    printf("%s: %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok) failures++;
}

static void reg(uint16_t address, uint8_t value) {
    uint32_t stalls = APU_RegWrite(address, value, hostCycle);
    hostCycle += stalls + 12; /* a few CPU cycles between writes */
    stolen += stalls;
}

static void endFrame(void) {
    uint32_t bytes, i;
    hostCycle += FRAME_CYCLES;
    uint32_t stalls = APU_RunToCycle(hostCycle);
    hostCycle += stalls;
    stolen += stalls;
    bytes = APU_GetWrittenBufferSize(1);
    for (i = 0; i + 1 < bytes && pcmCount < MAX_SAMPLES; i += 2)
        pcm[pcmCount++] = (int16_t)(frameBuffer[i] | (frameBuffer[i + 1] << 8));
}

static void frames(int n) {
    while (n-- > 0) endFrame();
}

/* Rising zero crossings per second of a stretch of samples. */
static double frequency(size_t from, size_t to) {
    size_t i, first = 0, last = 0, rises = 0;
    for (i = from + 1; i < to; i++) {
        if (pcm[i - 1] < 0 && pcm[i] >= 0) {
            if (rises == 0) first = i;
            last = i;
            rises++;
        }
    }
    if (rises < 2) return 0.0;
    return (double)(rises - 1) * RATE / (double)(last - first);
}

static double rms(size_t from, size_t to) {
    double sum = 0.0;
    size_t i;
    for (i = from; i < to; i++) sum += (double)pcm[i] * pcm[i];
    return to > from ? sqrt(sum / (double)(to - from)) : 0.0;
}

static void pulseNote(uint16_t base, unsigned period, uint8_t control) {
    reg(base, control);
    reg(base + 2, period & 0xFF);
    reg(base + 3, (uint8_t)(0x08 | (period >> 8)));
}

int main(void) {
    int bank, i;
    size_t mark;
    static const unsigned melody[] = {253, 225, 201, 190, 169, 190, 201, 225}; /* A4 .. */

    for (bank = 0; bank < 8; bank++) APU_SetDMAPointer(bank, rom[bank]);
    /* A kick-like sample at $C000: a burst of rising then falling bits. */
    for (i = 0; i < 33; i++) rom[4][i] = i < 16 ? 0xFF : 0x00;

    APU_Initialize();
    APU_SetEnvironment(0, 1789772.75f, 7457.5f);
    APU_SetOutputFormat(RATE, 16, 1);
    APU_SetOutputBuffer(frameBuffer, sizeof frameBuffer);
    check(APU_Reset(PELRIN_CHIP_NONE) == 0, "reset returns 0");
    reg(0x4017, 0x40); /* no frame interrupt */
    reg(0x4011, 64);   /* DMC output centred */

    /* Pulse 1 alone: A4 at period 253, 440 Hz. */
    reg(0x4015, 0x01);
    pulseNote(0x4000, 253, 0xBF);
    mark = pcmCount;
    frames(30);
    {
        double f = frequency(mark + 100, pcmCount);
        printf("pulse 1 at period 253: %.1f Hz\n", f);
        check(fabs(f - 440.4) < 3.0, "pulse plays 1789772.75 / (16 x 254) Hz");
    }

    /* Triangle alone: period 253 gives half the pulse's pitch. */
    reg(0x4015, 0x04);
    reg(0x4008, 0xFF);
    reg(0x400A, 253 & 0xFF);
    reg(0x400B, 0x08);
    mark = pcmCount;
    frames(30);
    {
        double f = frequency(mark + 100, pcmCount);
        printf("triangle at period 253: %.1f Hz\n", f);
        check(fabs(f - 220.2) < 2.0, "triangle plays 1789772.75 / (32 x 254) Hz");
    }

    /* The tune: melody on pulse 1, a third below on pulse 2, bass on the
     * triangle, hats on the noise and a kick on the DMC every other note. */
    reg(0x4015, 0x1F);
    reg(0x4010, 0x0F);
    reg(0x4012, 0x00);
    reg(0x4013, 0x02);
    stolen = 0;
    mark = pcmCount;
    for (i = 0; i < 8; i++) {
        pulseNote(0x4000, melody[i], 0x89); /* half duty, decaying envelope */
        pulseNote(0x4004, melody[i] * 5 / 4, 0x57);
        reg(0x4008, 0xC0);
        reg(0x400A, (melody[i] * 2) & 0xFF);
        reg(0x400B, (uint8_t)(0x08 | ((melody[i] * 2) >> 8)));
        reg(0x400C, 0x34);
        reg(0x400E, 0x03);
        reg(0x400F, 0x08);
        if (i % 2 == 0) reg(0x4015, 0x1F); /* restart the kick */
        frames(10);
    }
    printf("tune: %zu samples, rms %.0f, %u stall cycles\n", pcmCount - mark, rms(mark, pcmCount), stolen);
    check(pcmCount - mark > (size_t)(80 * FRAME_CYCLES / 40.6) - 10, "tune renders every frame");
    check(rms(mark, pcmCount) > 1000.0, "tune is not silent");
    check(stolen == 4 * 33, "each kick fetches its 33 bytes, one stall cycle each");

    /* A DMC interrupt is predicted and then seen in $4015. */
    reg(0x4010, 0x8F);
    reg(0x4015, 0x10);
    {
        uint32_t due = APU_FindNextIRQ();
        uint8_t status = 0;
        check(due > 0 && due != 0xFFFFFFFFu, "DMC interrupt predicted");
        frames(1);
        APU_RegRead(0x4015, &status, hostCycle);
        check((status & 0x80) != 0, "DMC interrupt raised at the end of the sample");
        check(APU_FindNextIRQ() == 0, "pending interrupt reported as due now");
    }

    printf("%s\n", failures ? "host_tune: FAILED" : "host_tune: all checks passed");
    return failures ? 1 : 0;
}
