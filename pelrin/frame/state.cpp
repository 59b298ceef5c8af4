#include "frame/state.h"

namespace pelrin {

// Constant-initialised: loading the library runs no code of its own.
ApuState apu;

}  // namespace pelrin
