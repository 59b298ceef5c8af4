// Built without libpng: --picture says so.
#include "session.hpp"

namespace pelrin_nsf {

int renderPicture(const Options &, const Track &) {
    std::fprintf(stderr, "pelrin-nsf: --picture is unavailable: this build has no PNG support (libpng was not "
                         "found when it was configured)\n");
    return 2;
}

} // namespace pelrin_nsf
