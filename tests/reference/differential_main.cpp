// Runs the differential comparison of library and reference over numbered
// pseudo-random call streams: pelrin_differential [--sequences=N] [--first=S]
// [--length=BYTES]. Exit status 1 at the first stream that differs.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "reference/reference.h"

int main(int argc, char **argv) {
    unsigned long long sequences = 3000, first = 1, length = 600;
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (std::strncmp(a, "--sequences=", 12) == 0) sequences = std::strtoull(a + 12, nullptr, 10);
        else if (std::strncmp(a, "--first=", 8) == 0) first = std::strtoull(a + 8, nullptr, 10);
        else if (std::strncmp(a, "--length=", 9) == 0) length = std::strtoull(a + 9, nullptr, 10);
        else {
            std::fprintf(stderr, "usage: %s [--sequences=N] [--first=SEED] [--length=BYTES]\n", argv[0]);
            return 2;
        }
    }
    for (unsigned long long s = first; s < first + sequences; s++) {
        std::string why;
        if (!pelrin_ref::SameOutputForSeed(s, length, &why)) {
            std::printf("sequence %llu differs: %s\n", s, why.c_str());
            return 1;
        }
    }
    std::printf("%llu sequences (seeds %llu..%llu, %llu bytes each): library and reference agree\n", sequences,
                first, first + sequences - 1, length);
    return 0;
}
