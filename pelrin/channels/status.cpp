// $4015: channel enables, DMC start and stop.
#include "frame/state.h"

namespace pelrin {

namespace {

template <typename Channel>
void SetEnabled(Channel &c, bool on) {
    c.enabled = on ? 1 : 0;
    if (!on) c.length = 0;  // enabling loads no length; only a length write does
}

}  // namespace

void WriteStatus(ApuState &apu, uint8_t v) {
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

}  // namespace pelrin
