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

uint32_t le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0] | (p[1] << 8) | (p[2] << 16)) | (static_cast<uint32_t>(p[3]) << 24);
}

// NUL-separated strings of a chunk; a last one without NUL counts too.
std::vector<std::string> cStrings(const uint8_t *p, size_t n) {
    std::vector<std::string> out;
    std::string cur;
    for (size_t i = 0; i < n; ++i) {
        if (p[i]) cur.push_back(static_cast<char>(p[i]));
        else { out.push_back(cur); cur.clear(); }
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

std::vector<int32_t> times(const uint8_t *p, size_t n) {
    std::vector<int32_t> out;
    for (size_t i = 0; i + 4 <= n; i += 4) out.push_back(static_cast<int32_t>(le32(p + i)));
    return out;
}

// Reads the chunks from p to end: each a 32-bit length, a four-letter id
// and the data. Metadata chunks fill f; INFO, DATA, BANK, RATE and NSF2 are
// taken only when program is true (an NSFe file). An unknown chunk whose id
// starts with a capital letter is one the file needs: refused.
void readChunks(const uint8_t *p, const uint8_t *end, NsfFile &f, bool program) {
    bool info = false, data = false;
    while (end - p >= 8) {
        const uint32_t len = le32(p);
        const std::string id(reinterpret_cast<const char *>(p + 4), 4);
        p += 8;
        if (len > static_cast<size_t>(end - p))
            throw NsfError("truncated chunk '" + id + "' (" + std::to_string(len) + " bytes, " +
                           std::to_string(end - p) + " left)");
        const uint8_t *d = p;
        p += len;
        if (id == "NEND") break;
        if (id == "auth") {
            auto v = cStrings(d, len);
            if (v.size() > 0) f.title = v[0];
            if (v.size() > 1) f.artist = v[1];
            if (v.size() > 2) f.copyright = v[2];
            if (v.size() > 3) f.ripper = v[3];
        } else if (id == "tlbl") f.trackTitles = cStrings(d, len);
        else if (id == "time") f.trackLengthMs = times(d, len);
        else if (id == "fade") f.trackFadeMs = times(d, len);
        else if (id == "plst") f.playlist.assign(d, d + len);
        else if (program && id == "INFO") {
            if (len < 8) throw NsfError("INFO chunk too short (" + std::to_string(len) + " bytes, need 8)");
            f.loadAddress = le16(d);
            f.initAddress = le16(d + 2);
            f.playAddress = le16(d + 4);
            f.region = d[6];
            f.chips = d[7];
            f.songCount = len > 8 ? d[8] : 1;
            f.startSong = static_cast<uint8_t>(len > 9 ? d[9] + 1 : 1);
            info = true;
        } else if (program && id == "DATA") {
            f.data.assign(d, d + len);
            data = true;
        } else if (program && id == "BANK") {
            for (size_t i = 0; i < 8; ++i) f.bankInit[i] = i < len ? d[i] : 0;
        } else if (program && id == "RATE") {
            if (len >= 2) f.ntscSpeed = le16(d);
            if (len >= 4) f.palSpeed = le16(d + 2);
        } else if (program && id == "NSF2") {
            if (len >= 1) { f.version = 2; f.flags = d[0]; }
        } else if (!id.empty() && id[0] >= 'A' && id[0] <= 'Z') {
            throw NsfError("unknown required chunk '" + id + "'");
        }
    }
    if (program) {
        if (!info) throw NsfError("NSFe file without an INFO chunk");
        if (!data) throw NsfError("NSFe file without a DATA chunk");
    }
}

NsfFile checked(NsfFile f) {
    if (f.songCount == 0) throw NsfError("the file has no songs (song count 0)");
    if (f.startSong == 0 || f.startSong > f.songCount) f.startSong = 1;
    if (f.loadAddress < 0x8000)
        throw NsfError("load address " + hex4(f.loadAddress) + " is out of range ($8000-$FFFF)");
    std::vector<uint8_t> order;
    for (uint8_t t : f.playlist)
        if (t < f.songCount) order.push_back(t); // entries past the last track are dropped
    f.playlist = order;
    return f;
}

NsfFile parseNsfe(const uint8_t *bytes, size_t size) {
    NsfFile f;
    f.nsfe = true;
    f.version = 1;
    readChunks(bytes + 4, bytes + size, f, true);
    if (f.data.empty()) throw NsfError("truncated file: no program data in the DATA chunk");
    return checked(f);
}
} // namespace

std::string NsfFile::trackTitle(int t) const {
    return t >= 0 && static_cast<size_t>(t) < trackTitles.size() ? trackTitles[static_cast<size_t>(t)] : "";
}
int32_t NsfFile::lengthMs(int t) const {
    return t >= 0 && static_cast<size_t>(t) < trackLengthMs.size() ? trackLengthMs[static_cast<size_t>(t)] : -1;
}
int32_t NsfFile::fadeMs(int t) const {
    return t >= 0 && static_cast<size_t>(t) < trackFadeMs.size() ? trackFadeMs[static_cast<size_t>(t)] : -1;
}
std::vector<int> NsfFile::playOrder() const {
    std::vector<int> out;
    if (!playlist.empty()) out.assign(playlist.begin(), playlist.end());
    else
        for (int t = 0; t < songCount; ++t) out.push_back(t);
    return out;
}

bool NsfFile::bankswitched() const {
    for (uint8_t b : bankInit)
        if (b) return true;
    return false;
}

NsfFile parseNsf(const uint8_t *bytes, size_t size) {
    if (size >= 4 && bytes[0] == 'N' && bytes[1] == 'S' && bytes[2] == 'F' && bytes[3] == 'E')
        return parseNsfe(bytes, size);
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
    // Version 2, flag bit 7: metadata chunks follow the program.
    if (f.version >= 2 && (f.flags & 0x80) && kHeaderSize + length < size)
        readChunks(bytes + kHeaderSize + length, bytes + size, f, false);
    return checked(f);
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
