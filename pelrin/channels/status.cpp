// $4015 (channel enables, DMC start/stop) and $4017 (frame sequencer mode).
#include "frame/state.h"

namespace pelrin {

namespace {

template <typename Channel>
void SetEnabled(Channel &c, bool on) {
    c.enabled = on ? 1 : 0;
    if (!on) c.length = 0;  // enabling loads no length; only a length write does
}

}  // namespace

void WriteStatus(uint8_t v) {
    SetEnabled(apu.pulse[0], v & 0x01);
    SetEnabled(apu.pulse[1], v & 0x02);
    SetEnabled(apu.triangle, v & 0x04);
    SetEnabled(apu.noise, v & 0x08);
    apu.dmc.irqFlag = 0;
    if (v & 0x10)
        StartDmc(apu.dmc);
    else
        apu.dmc.active = 0;
}

void WriteFrameCounter(uint8_t v) {
    apu.frameStepCountdown = apu.frameStepPeriod;
    if (v & 0x80) {
        apu.frameStepLimit = 4;
        apu.frameStep = 0;
        QuarterFrameClock();
    } else {
        // Step 4 above limit 3: the first event, one period on, is the wrap.
        apu.frameStepLimit = 3;
        apu.frameStep = 4;
    }
    apu.frameIrqEnabled = (v & 0x40) ? 0 : 1;
    if (v & 0x40) apu.frameIrqFlag = 0;
}

}  // namespace pelrin
