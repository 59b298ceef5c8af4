/*
 * pelrin — emulation of the NES/Famicom sound hardware.
 *
 * One emulated sound unit per process, driven through sixteen plain C
 * functions. Every function works on the same process-wide state; call them
 * from one thread only. The library allocates nothing and calls nothing of
 * the host's: the output buffer and the eight DMA banks belong to the host.
 *
 * Calling order:
 *   1. APU_Initialize() once after loading.
 *   2. APU_SetEnvironment, APU_SetOutputFormat, APU_SetOutputBuffer and
 *      APU_SetDMAPointer (banks 0..7), in any order, again whenever they change.
 *   3. APU_Reset(chip) at power-up or reset, and before the first run.
 *   4. While emulating: every sound-register access through APU_RegWrite or
 *      APU_RegRead with its CPU cycle. Add each returned count (CPU cycles
 *      stolen by sample fetches) to your own cycle count. APU_FindNextIRQ
 *      tells how many cycles remain until the next sound interrupt.
 *   5. At the end of each stretch: APU_RunToCycle(last cycle), then
 *      APU_GetWrittenBufferSize(1) to collect the bytes and rewind the buffer.
 *
 * Cycles never go backwards: a cycle that lies before the library's timestamp
 * (an unsigned distance of 2^31 or more) runs nothing.
 *
 * Errors are never reported: an argument outside its range is ignored on its
 * own and the call's other arguments still take effect. Integer switches are
 * three-valued: negative keeps the setting, 0 turns it off, positive on.
 *
 * Output frames are written whole, left before right in stereo; 16-bit
 * samples are signed little-endian, 8-bit samples unsigned with 128 as
 * silence. While the buffer is full, samples are held back and averaged into
 * the next frame written after a rewind.
 *
 * On 32-bit x86 every function uses the caller-cleans (cdecl) convention and
 * is exported under its plain name.
 */
#ifndef PELRIN_H
#define PELRIN_H

#include <stdint.h>

#if defined(__i386__) || defined(_M_IX86)
#  if defined(_WIN32)
#    define PELRIN_CALL __cdecl
#  elif defined(__GNUC__)
#    define PELRIN_CALL __attribute__((cdecl))
#  endif
#endif
#ifndef PELRIN_CALL
#  define PELRIN_CALL
#endif

#if defined(_WIN32)
#  if defined(PELRIN_BUILDING)
#    define PELRIN_API __declspec(dllexport)
#  elif defined(PELRIN_STATIC)
#    define PELRIN_API
#  else
#    define PELRIN_API __declspec(dllimport)
#  endif
#elif defined(PELRIN_BUILDING) && defined(__GNUC__)
#  define PELRIN_API __attribute__((visibility("default")))
#else
#  define PELRIN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Expansion sound chip given to APU_Reset. 2, 4 and 32 are accepted but act
 * as none; any other value is stored as none. */
enum {
    PELRIN_CHIP_NONE = 0,
    PELRIN_CHIP_VRC6 = 1,
    PELRIN_CHIP_MMC5 = 8,
    PELRIN_CHIP_N163 = 16
};

/* Mixer channel indexes for APU_SetChannelOptions. */
enum {
    PELRIN_CH_PULSE1 = 0,
    PELRIN_CH_PULSE2 = 1,
    PELRIN_CH_TRIANGLE = 2,
    PELRIN_CH_NOISE = 3,
    PELRIN_CH_DMC = 4,
    PELRIN_CH_VRC6_PULSE1 = 5,
    PELRIN_CH_VRC6_PULSE2 = 6,
    PELRIN_CH_VRC6_SAW = 7,
    PELRIN_CH_MMC5_PULSE1 = 8,
    PELRIN_CH_MMC5_PULSE2 = 9,
    PELRIN_CH_MMC5_PCM = 10,
    PELRIN_CH_N163_FIRST = 11, /* Namco 163 channel c is index 11 + c */
    PELRIN_CHANNEL_COUNT = 19
};

/* Option defaults (every channel on, volume 255, centred), level tables and
 * derived constants. Call once after loading; may be called again to restore
 * the defaults. Leaves format, environment, buffer and master volume alone. */
PELRIN_API void PELRIN_CALL APU_Initialize(void);

/* region: 0 NTSC, other non-negative values PAL DMC rates, negative keeps.
 * cpuClock in Hz and stepPeriod in CPU cycles between frame-sequencer steps;
 * each is ignored when below 1.0, not finite, or (clock) below the sample
 * rate. Defaults: 0, 1789772.75, 7457.5. */
PELRIN_API void PELRIN_CALL APU_SetEnvironment(int32_t region, float cpuClock, float stepPeriod);

/* rate in Hz (1..cpuClock), bits 8 or 16, channels 1 or 2; each out-of-range
 * argument is ignored. Defaults: 44100, 16, 1. Frames already written keep
 * their old format. */
PELRIN_API void PELRIN_CALL APU_SetOutputFormat(int32_t rate, int32_t bits, int32_t channels);

/* Host memory behind CPU addresses $8000 + $1000*bank .. $8FFF + $1000*bank,
 * 4096 readable bytes, read one byte at a time by DMC sample fetches. bank
 * outside 0..7 is ignored. A bank never set reads as 0. */
PELRIN_API void PELRIN_CALL APU_SetDMAPointer(int32_t bank, const uint8_t *memory);

/* Power-up state; chip is one of PELRIN_CHIP_*. Timestamp and buffer restart
 * at 0. Returns 0. */
PELRIN_API int32_t PELRIN_CALL APU_Reset(int32_t chip);

/* The host's output buffer; it starts empty. */
PELRIN_API void PELRIN_CALL APU_SetOutputBuffer(void *buffer, uint32_t sizeInBytes);

/* Bytes written since the last rewind; rewinds too when rewind is non-zero. */
PELRIN_API uint32_t PELRIN_CALL APU_GetWrittenBufferSize(int32_t rewind);

/* Rewinds the output buffer to its start. */
PELRIN_API void PELRIN_CALL APU_ResetOutputBuffer(void);

/* The CPU cycle up to which the library has run, stall cycles included. */
PELRIN_API uint32_t PELRIN_CALL APU_GetTimestamp(void);

/* Moves the library's cycle count; nothing runs. */
PELRIN_API void PELRIN_CALL APU_SetTimestamp(uint32_t cycle);

/* CPU cycles from the timestamp until the next sound interrupt: 0 when one
 * is pending, 0xFFFFFFFF when none is foreseen. */
PELRIN_API uint32_t PELRIN_CALL APU_FindNextIRQ(void);

/* Runs the sound unit up to cycle; returns the CPU cycles stolen by DMC
 * sample fetches meanwhile (the timestamp ends at cycle plus that count). */
PELRIN_API uint32_t PELRIN_CALL APU_RunToCycle(uint32_t cycle);

/* A CPU write of value (low 8 bits) to a sound register (low 16 bits) at
 * cycle: $4000-$4017, and the selected chip's registers. Returns the stall
 * cycles of the catch-up run to cycle. */
PELRIN_API uint32_t PELRIN_CALL APU_RegWrite(uint32_t address, uint32_t value, uint32_t cycle);

/* A CPU read at cycle: $4015 status (clears the frame interrupt), $4017,
 * $4800 (Namco 163 data port; otherwise *data is left alone), any other
 * address reads as its high byte. *data is an input too ($4017 keeps its low
 * six bits). A null data pointer stores nothing. Returns stall cycles. */
PELRIN_API uint32_t PELRIN_CALL APU_RegRead(uint32_t address, uint8_t *data, uint32_t cycle);

/* masterVolume >= 0 (ignored when negative or not finite); rampOption and
 * triangleShape are three-valued switches (shape 0 hardware staircase,
 * 1 symmetric triangle; ramp 1 smooths $4011 jumps). */
PELRIN_API void PELRIN_CALL APU_Configure(float masterVolume, int32_t rampOption, int32_t triangleShape);

/* index 0..18 (PELRIN_CH_*); enable three-valued; volume 0..255; pan
 * -127 (left) .. 127 (right), used in stereo. Out-of-range values ignored. */
PELRIN_API void PELRIN_CALL APU_SetChannelOptions(int32_t index, int32_t enable, int32_t volume, int32_t pan);

#ifdef __cplusplus
}
#endif

#endif
