/* A host built against an installed pelrin. */
#include <pelrin.h>
#include <stdio.h>

int main(void) {
    static uint8_t buffer[64];
    APU_Initialize();
    APU_SetOutputBuffer(buffer, sizeof buffer);
    APU_Reset(PELRIN_CHIP_NONE);
    APU_RunToCycle(1000);
    printf("%u\n", APU_GetWrittenBufferSize(1));
    return 0;
}
