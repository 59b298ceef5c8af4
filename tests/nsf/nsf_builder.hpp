// Builds small NSF files in memory for the tests.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <string>
#include <utility>
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

// One chunk of an NSFe file or of a version 2 file's metadata.
inline void appendChunk(std::vector<uint8_t> &f, const char *id, const std::vector<uint8_t> &data) {
    const uint32_t n = static_cast<uint32_t>(data.size());
    const size_t at = f.size();
    f.resize(at + 8 + data.size());
    for (int i = 0; i < 4; ++i) f[at + static_cast<size_t>(i)] = static_cast<uint8_t>(n >> (8 * i));
    std::memcpy(&f[at + 4], id, 4);
    if (n) std::memcpy(&f[at + 8], data.data(), n);
}

// Little-endian 32-bit values, for the time and fade chunks.
inline std::vector<uint8_t> le32s(std::initializer_list<int32_t> values) {
    std::vector<uint8_t> out;
    for (int32_t v : values)
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i)));
    return out;
}

// NUL-terminated strings one after another, for the auth and tlbl chunks.
inline std::vector<uint8_t> cstrings(std::initializer_list<std::string> values) {
    std::vector<uint8_t> out;
    for (const std::string &v : values) {
        out.insert(out.end(), v.begin(), v.end());
        out.push_back(0);
    }
    return out;
}

// An NSFe file with the program, addresses and speeds of an NSF file's
// bytes, followed by the extra chunks given.
inline std::vector<uint8_t> nsfeFrom(const std::vector<uint8_t> &nsf,
                                     const std::vector<std::pair<std::string, std::vector<uint8_t>>> &extra) {
    std::vector<uint8_t> f = {'N', 'S', 'F', 'E'};
    std::vector<uint8_t> info(nsf.begin() + 8, nsf.begin() + 14); // load, init, play
    info.push_back(nsf[0x7A]);
    info.push_back(nsf[0x7B]);
    info.push_back(nsf[6]);
    info.push_back(static_cast<uint8_t>(nsf[7] - 1));
    appendChunk(f, "INFO", info);
    bool banked = false;
    for (size_t i = 0x70; i < 0x78; ++i) banked = banked || nsf[i];
    if (banked) appendChunk(f, "BANK", std::vector<uint8_t>(nsf.begin() + 0x70, nsf.begin() + 0x78));
    appendChunk(f, "RATE", {nsf[0x6E], nsf[0x6F], nsf[0x78], nsf[0x79]});
    for (const auto &[id, data] : extra) appendChunk(f, id.c_str(), data);
    appendChunk(f, "DATA", std::vector<uint8_t>(nsf.begin() + 128, nsf.end()));
    appendChunk(f, "NEND", {});
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
