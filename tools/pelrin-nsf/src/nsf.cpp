#include "nsf.hpp"

#include <output_file.hpp>

#include <cstdio>
#include <fstream>
#include <iterator>

namespace pelrin_nsf {

namespace {
constexpr size_t kHeaderSize = 0x80;

uint16_t le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// A 32-byte name field: NUL-terminated, or all 32 bytes when there is no NUL.
std::string nameField(const uint8_t *p) {
    std::string s;
    for (size_t i = 0; i < 32 && p[i]; ++i) s.push_back(static_cast<char>(p[i]));
    return s;
}

std::string hex4(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "$%04X", v);
    return buf;
}
} // namespace

bool NsfFile::bankswitched() const {
    for (uint8_t b : bankInit)
        if (b) return true;
    return false;
}

NsfFile parseNsf(const uint8_t *bytes, size_t size) {
    if (size >= 4 && bytes[0] == 'N' && bytes[1] == 'S' && bytes[2] == 'F' && bytes[3] == 'E')
        throw NsfError("this is an NSFe file, which pelrin-nsf cannot read yet; only NSF files play");
    if (size < 5 || bytes[0] != 'N' || bytes[1] != 'E' || bytes[2] != 'S' || bytes[3] != 'M' || bytes[4] != 0x1A)
        throw NsfError("not an NSF file (bad magic)");
    if (size < kHeaderSize)
        throw NsfError("truncated header (" + std::to_string(size) + " bytes, need 128)");
    NsfFile f;
    f.version = bytes[5];
    f.songCount = bytes[6];
    f.startSong = bytes[7];
    f.loadAddress = le16(bytes + 8);
    f.initAddress = le16(bytes + 0x0A);
    f.playAddress = le16(bytes + 0x0C);
    f.title = nameField(bytes + 0x0E);
    f.artist = nameField(bytes + 0x2E);
    f.copyright = nameField(bytes + 0x4E);
    f.ntscSpeed = le16(bytes + 0x6E);
    for (size_t i = 0; i < 8; ++i) f.bankInit[i] = bytes[0x70 + i];
    f.palSpeed = le16(bytes + 0x78);
    f.region = bytes[0x7A];
    f.chips = bytes[0x7B];
    f.flags = bytes[0x7C];
    if (f.songCount == 0) throw NsfError("the file has no songs (song count 0)");
    if (f.startSong == 0 || f.startSong > f.songCount) f.startSong = 1;
    if (f.loadAddress < 0x8000)
        throw NsfError("load address " + hex4(f.loadAddress) + " is out of range ($8000-$FFFF)");
    size_t length = size - kHeaderSize;
    // Version 2 files give the program length at $7D-$7F; metadata follows it.
    if (f.version >= 2) {
        size_t declared = bytes[0x7D] | (bytes[0x7E] << 8) | (static_cast<size_t>(bytes[0x7F]) << 16);
        if (declared > length)
            throw NsfError("truncated program data (" + std::to_string(length) + " bytes, header says " +
                           std::to_string(declared) + ")");
        if (declared) length = declared;
    }
    if (length == 0) throw NsfError("truncated file: no program data after the header");
    f.data.assign(bytes + kHeaderSize, bytes + kHeaderSize + length);
    return f;
}

NsfFile loadNsf(const std::filesystem::path &path) {
    std::vector<uint8_t> bytes;
    try {
        bytes = pelrin_tools::readInputFile(path, kMaxNsfBytes, 0, UINT64_MAX, "an NSF file");
    } catch (const std::runtime_error &e) {
        throw NsfError(e.what());
    }
    return parseNsf(bytes.data(), bytes.size());
}

std::string chipNames(uint8_t chips) {
    static const char *const kNames[8] = {"VRC6", "VRC7", "FDS", "MMC5", "Namco 163", "Sunsoft 5B", "VT02+", "bit 7"};
    std::string s;
    for (int i = 0; i < 8; ++i) {
        if (!(chips & (1 << i))) continue;
        if (!s.empty()) s += ", ";
        s += kNames[i];
    }
    return s.empty() ? "none" : s;
}

} // namespace pelrin_nsf
