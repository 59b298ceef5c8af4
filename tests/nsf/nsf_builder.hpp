// Builds small NSF files in memory for the tests.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace nsf_test {

struct NsfLayout {
    uint8_t version = 1;
    uint8_t songs = 1;
    uint8_t start = 1;
    uint16_t load = 0x8000, init = 0x8000, play = 0x8003;
    std::string title = "test";
    uint16_t ntscSpeed = 16639, palSpeed = 19997;
    std::array<uint8_t, 8> banks{};
    uint8_t region = 0, chips = 0;
    uint8_t flags = 0; // $7C, version 2
    std::vector<uint8_t> data;
};

inline std::vector<uint8_t> buildNsf(const NsfLayout &s) {
    std::vector<uint8_t> f(128, 0);
    std::memcpy(f.data(), "NESM\x1A", 5);
    f[5] = s.version;
    f[6] = s.songs;
    f[7] = s.start;
    auto put16 = [&](size_t at, uint16_t v) {
        f[at] = static_cast<uint8_t>(v);
        f[at + 1] = static_cast<uint8_t>(v >> 8);
    };
    put16(8, s.load);
    put16(0x0A, s.init);
    put16(0x0C, s.play);
    std::memcpy(&f[0x0E], s.title.data(), std::min<size_t>(s.title.size(), 32));
    put16(0x6E, s.ntscSpeed);
    for (size_t i = 0; i < 8; ++i) f[0x70 + i] = s.banks[i];
    put16(0x78, s.palSpeed);
    f[0x7A] = s.region;
    f[0x7B] = s.chips;
    f[0x7C] = s.flags;
    // resize + copy rather than insert: GCC 12 at -O3 warns wrongly about the latter.
    f.resize(128 + s.data.size());
    if (!s.data.empty()) std::memcpy(f.data() + 128, s.data.data(), s.data.size());
    return f;
}

inline std::vector<uint8_t> readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::string dataFile(const std::string &name) { return std::string(PELRIN_NSF_DATA) + "/" + name; }

} // namespace nsf_test
