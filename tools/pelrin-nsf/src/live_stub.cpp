// Built without SDL2: --play says so.
#include "session.hpp"

namespace pelrin_nsf {

int playLive(const Options &, const std::vector<Track> &, size_t) {
    std::fprintf(stderr, "pelrin-nsf: --play is unavailable: this build has no sound output (SDL2 was not found "
                         "when it was configured); write a WAV file instead\n");
    return 2;
}

} // namespace pelrin_nsf
