// Every fuzz input starts from the sound unit as a freshly loaded library
// holds it, then APU_Initialize, so that no input depends on the ones before.
#pragma once

#include <pelrin.h>

#include "frame/state.h"

namespace pelrin_fuzz {

inline void freshLibrary() {
    pelrin::apu = pelrin::ApuState{};
    APU_Initialize();
}

} // namespace pelrin_fuzz
