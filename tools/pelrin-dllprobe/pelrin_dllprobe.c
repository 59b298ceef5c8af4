/*
 * pelrin-dllprobe: loads the sound library at run time (LoadLibraryA on
 * Windows, dlopen elsewhere), looks up each of the sixteen APU_* names by its
 * plain name and calls every one of them, checking the results.
 *
 * On 32-bit x86 every call goes through a small assembly thunk that pushes
 * the arguments as 32-bit stack words and measures how many of them are
 * still on the stack when the function returns: with the caller-cleans
 * convention all of them must be, so a function that pops its own arguments
 * is caught here even when its name is right.
 *
 * Usage: pelrin-dllprobe [library path]   (default pelrin.dll / libpelrin.so)
 * Exit status 0 when every check passed.
 */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
typedef HMODULE LibHandle;
static LibHandle lib_open(const char *path) { return LoadLibraryA(path); }
static void *lib_symbol(LibHandle h, const char *name)
{
    FARPROC p = GetProcAddress(h, name);
    void *q;
    memcpy(&q, &p, sizeof q);
    return q;
}
#define DEFAULT_LIBRARY "pelrin.dll"
#else
#include <dlfcn.h>
typedef void *LibHandle;
static LibHandle lib_open(const char *path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
static void *lib_symbol(LibHandle h, const char *name) { return dlsym(h, name); }
#define DEFAULT_LIBRARY "libpelrin.so"
#endif

static const char *const exportNames[16] = {
    "APU_Initialize", "APU_SetEnvironment", "APU_SetOutputFormat", "APU_SetDMAPointer",
    "APU_Reset", "APU_SetOutputBuffer", "APU_GetWrittenBufferSize", "APU_ResetOutputBuffer",
    "APU_GetTimestamp", "APU_SetTimestamp", "APU_FindNextIRQ", "APU_RunToCycle",
    "APU_RegWrite", "APU_RegRead", "APU_Configure", "APU_SetChannelOptions",
};
enum {
    Initialize, SetEnvironment, SetOutputFormat, SetDMAPointer, Reset, SetOutputBuffer,
    GetWrittenBufferSize, ResetOutputBuffer, GetTimestamp, SetTimestamp, FindNextIRQ,
    RunToCycle, RegWrite, RegRead, Configure, SetChannelOptions
};
#if defined(__i386__)
/* Stack words each export takes. */
static const uint32_t argWords[16] = {0, 3, 3, 2, 1, 2, 1, 0, 0, 1, 0, 1, 3, 3, 3, 4};
#endif

static void *fn[16];
static unsigned checks, failures;
static unsigned callsPerExport[16];

static void check(int ok, const char *what, unsigned long long got, unsigned long long want)
{
    checks++;
    if (!ok) {
        failures++;
        printf("CHECK FAILED: %s (got %llu, want %llu)\n", what, got, want);
    }
}
/* Arguments are evaluated exactly once: many of them are library calls. */
static void check_eq(const char *what, unsigned long long got, unsigned long long want)
{
    check(got == want, what, got, want);
}
#define CHECK_EQ(what, got, want) \
    check_eq(what, (unsigned long long)(got), (unsigned long long)(want))

static uint32_t word_of_float(float f)
{
    uint32_t w;
    memcpy(&w, &f, sizeof w);
    return w;
}

#if defined(__i386__)
static uint32_t word_of_pointer(const void *p)
{
    uintptr_t v = (uintptr_t)p;
    return (uint32_t)v;
}

/* uint32_t pelrin_probe_call(fn, args, count, &leftBytes): pushes args[count-1]
 * .. args[0], calls fn, stores how many argument bytes were still on the stack
 * after the call, restores the stack and returns fn's 32-bit result. */
uint32_t pelrin_probe_call(void *function, const uint32_t *args, uint32_t count, uint32_t *leftBytes)
    __asm__("pelrin_probe_call");
__asm__(
    "  .text\n"
    "  .p2align 4\n"
    "  .globl pelrin_probe_call\n"
    "pelrin_probe_call:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  pushl %ebx\n"
    "  pushl %esi\n"
    "  pushl %edi\n"
    "  movl 12(%ebp), %esi\n"
    "  movl 16(%ebp), %ecx\n"
    "  leal 0(,%ecx,4), %eax\n"
    "  movl %esp, %edx\n"
    "  subl %eax, %edx\n"
    "  andl $-16, %edx\n"          /* stack 16-aligned at the call */
    "  addl %eax, %edx\n"
    "  movl %edx, %esp\n"
    "  movl %esp, %ebx\n"          /* stack pointer before the pushes */
    "1:\n"
    "  testl %ecx, %ecx\n"
    "  jz 2f\n"
    "  pushl -4(%esi,%ecx,4)\n"
    "  decl %ecx\n"
    "  jmp 1b\n"
    "2:\n"
    "  movl 8(%ebp), %edx\n"
    "  call *%edx\n"
    "  movl %ebx, %ecx\n"
    "  subl %esp, %ecx\n"          /* argument bytes the caller must remove */
    "  movl 20(%ebp), %edx\n"
    "  movl %ecx, (%edx)\n"
    "  leal -12(%ebp), %esp\n"
    "  popl %edi\n"
    "  popl %esi\n"
    "  popl %ebx\n"
    "  popl %ebp\n"
    "  ret\n");
#define STACK_CHECKED 1
#endif

/* Calls export `which` with up to four 32-bit argument words. */
static uint32_t call(int which, uint32_t a0, uint32_t a1, uint32_t a2, uint32_t a3)
{
    uint32_t args[4] = {a0, a1, a2, a3};
    callsPerExport[which]++;
#if defined(STACK_CHECKED)
    uint32_t n = argWords[which];
    uint32_t left = 0xFFFFFFFFu;
    uint32_t r = pelrin_probe_call(fn[which], args, n, &left);
    if (left != 4 * n) {
        printf("CHECK FAILED: %s left %u argument bytes on the stack, want %u (caller cleans)\n",
               exportNames[which], left, 4 * n);
        failures++;
    }
    checks++;
    return r;
#else
    /* x86-64 and others: one calling convention; call through typed pointers. */
    void *f = fn[which];
    switch (which) {
    case Initialize: case ResetOutputBuffer:
        ((void (*)(void))f)();
        return 0;
    case GetTimestamp: case FindNextIRQ:
        return ((uint32_t (*)(void))f)();
    case SetEnvironment: {
        float c, p;
        memcpy(&c, &args[1], 4);
        memcpy(&p, &args[2], 4);
        ((void (*)(int32_t, float, float))f)((int32_t)a0, c, p);
        return 0;
    }
    case Configure: {
        float v;
        memcpy(&v, &args[0], 4);
        ((void (*)(float, int32_t, int32_t))f)(v, (int32_t)a1, (int32_t)a2);
        return 0;
    }
    case SetOutputFormat:
        ((void (*)(int32_t, int32_t, int32_t))f)((int32_t)a0, (int32_t)a1, (int32_t)a2);
        return 0;
    case SetChannelOptions:
        ((void (*)(int32_t, int32_t, int32_t, int32_t))f)((int32_t)a0, (int32_t)a1, (int32_t)a2, (int32_t)a3);
        return 0;
    case Reset:
        return (uint32_t)((int32_t (*)(int32_t))f)((int32_t)a0);
    case GetWrittenBufferSize:
        return ((uint32_t (*)(int32_t))f)((int32_t)a0);
    case SetTimestamp:
        ((void (*)(uint32_t))f)(a0);
        return 0;
    case RunToCycle:
        return ((uint32_t (*)(uint32_t))f)(a0);
    case RegWrite:
        return ((uint32_t (*)(uint32_t, uint32_t, uint32_t))f)(a0, a1, a2);
    default:
        return 0;
    }
#endif
}

/* Pointer arguments cannot travel as 32-bit words on 64-bit hosts. */
static void call_set_dma(int32_t bank, const uint8_t *p)
{
#if defined(STACK_CHECKED)
    call(SetDMAPointer, (uint32_t)bank, word_of_pointer(p), 0, 0);
#else
    callsPerExport[SetDMAPointer]++;
    ((void (*)(int32_t, const uint8_t *))fn[SetDMAPointer])(bank, p);
#endif
}

static void call_set_buffer(void *p, uint32_t size)
{
#if defined(STACK_CHECKED)
    call(SetOutputBuffer, word_of_pointer(p), size, 0, 0);
#else
    callsPerExport[SetOutputBuffer]++;
    ((void (*)(void *, uint32_t))fn[SetOutputBuffer])(p, size);
#endif
}

static uint32_t call_read(uint32_t address, uint8_t *data, uint32_t cycle)
{
#if defined(STACK_CHECKED)
    return call(RegRead, address, word_of_pointer(data), cycle, 0);
#else
    callsPerExport[RegRead]++;
    return ((uint32_t (*)(uint32_t, uint8_t *, uint32_t))fn[RegRead])(address, data, cycle);
#endif
}

static uint8_t memoryBanks[8][4096];
static uint8_t outBuffer[8192];

int main(int argc, char **argv)
{
    const char *path = argc > 1 ? argv[1] : DEFAULT_LIBRARY;
    LibHandle h = lib_open(path);
    if (!h) {
        printf("FAIL: cannot load %s\n", path);
        return 1;
    }
    int missing = 0;
    for (int i = 0; i < 16; i++) {
        fn[i] = lib_symbol(h, exportNames[i]);
        if (!fn[i]) {
            printf("FAIL: %s not exported under its plain name\n", exportNames[i]);
            missing = 1;
        }
    }
    if (missing)
        return 1;

    for (int b = 0; b < 8; b++)
        memset(memoryBanks[b], 0x5A + b, sizeof memoryBanks[b]);

    call(Initialize, 0, 0, 0, 0);
    call(SetEnvironment, 0, word_of_float(1789772.75f), word_of_float(7457.5f), 0);
    call(SetOutputFormat, 44100, 16, 1, 0);
    for (int32_t b = 0; b < 8; b++)
        call_set_dma(b, memoryBanks[b]);
    call_set_buffer(outBuffer, sizeof outBuffer);
    call(Configure, word_of_float(1.0f), 0, 0, 0);
    call(SetChannelOptions, 0, 1, 255, 0);
    CHECK_EQ("APU_Reset(0) returns 0", call(Reset, 0, 0, 0, 0), 0);
    CHECK_EQ("timestamp 0 after reset", call(GetTimestamp, 0, 0, 0, 0), 0);
    CHECK_EQ("frame interrupt due at 29830 after reset", call(FindNextIRQ, 0, 0, 0, 0), 29830);

    /* A pulse tone: $4015, $4000, $4002, $4003. */
    CHECK_EQ("write at the current cycle stalls 0", call(RegWrite, 0x4015, 0x0F, 0, 0), 0);
    CHECK_EQ("write stall", call(RegWrite, 0x4000, 0xBF, 10, 0), 0);
    call(RegWrite, 0x4002, 0xFD, 20, 0);
    call(RegWrite, 0x4003, 0x00, 30, 0);
    uint8_t status = 0;
    CHECK_EQ("read stall", call_read(0x4015, &status, 40), 0);
    CHECK_EQ("$4015 shows pulse 1 length", status & 0x01, 0x01);
    uint8_t bus = 0x3C;
    call_read(0x5015, &bus, 40);
    CHECK_EQ("open bus read", bus, 0x50);

    CHECK_EQ("run without sample fetches stalls 0", call(RunToCycle, 29781, 0, 0, 0), 0);
    CHECK_EQ("timestamp after the run", call(GetTimestamp, 0, 0, 0, 0), 29781);
    CHECK_EQ("frame interrupt due 49 cycles later", call(FindNextIRQ, 0, 0, 0, 0), 49);
    uint32_t n = call(GetWrittenBufferSize, 0, 0, 0, 0);
    check(n >= 1464 && n <= 1470, "bytes written for 29781 cycles at 44100 Hz", n, 1468);
    int sound = 0;
    for (uint32_t i = 2; i < n && i < sizeof outBuffer; i += 2)
        if (outBuffer[i] != outBuffer[0] || outBuffer[i + 1] != outBuffer[1])
            sound = 1;
    CHECK_EQ("the pulse is audible", sound, 1);
    call(ResetOutputBuffer, 0, 0, 0, 0);
    CHECK_EQ("rewound", call(GetWrittenBufferSize, 0, 0, 0, 0), 0);

    /* A 17-byte sample at the fastest rate steals 17 cycles. */
    call(RegWrite, 0x4010, 0x0F, 29781, 0);
    call(RegWrite, 0x4012, 0x00, 29781, 0);
    call(RegWrite, 0x4013, 0x01, 29781, 0);
    call(RegWrite, 0x4015, 0x1F, 29781, 0);
    CHECK_EQ("sample fetches stall 17 cycles", call(RunToCycle, 49781, 0, 0, 0), 17);
    CHECK_EQ("timestamp includes the stall", call(GetTimestamp, 0, 0, 0, 0), 49798);
    n = call(GetWrittenBufferSize, 1, 0, 0, 0);
    check(n >= 980 && n <= 990, "bytes written for 20017 cycles", n, 986);
    CHECK_EQ("rewound by the collect", call(GetWrittenBufferSize, 0, 0, 0, 0), 0);

    call(SetTimestamp, 100000, 0, 0, 0);
    CHECK_EQ("APU_SetTimestamp", call(GetTimestamp, 0, 0, 0, 0), 100000);

    for (int i = 0; i < 16; i++)
        if (callsPerExport[i] == 0) {
            printf("CHECK FAILED: %s never called\n", exportNames[i]);
            failures++;
        }
#if defined(STACK_CHECKED)
    printf("dllprobe: 16 exports resolved by plain name, caller-cleans convention checked on every call\n");
#else
    printf("dllprobe: 16 exports resolved by plain name\n");
#endif
    printf("dllprobe: %u checks, %u failed\n", checks, failures);
    return failures == 0 ? 0 : 1;
}
