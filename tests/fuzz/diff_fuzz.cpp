// Fuzz target: the library against its reference core (tests/reference).
// The input is read as a stream of host calls that both receive; any
// difference in a return value or an output byte aborts with the first one.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "reference/reference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string why;
    if (!pelrin_ref::SameOutput(data, size, &why)) {
        std::fprintf(stderr, "diff_fuzz: library and reference differ: %s\n", why.c_str());
        std::abort();
    }
    return 0;
}
