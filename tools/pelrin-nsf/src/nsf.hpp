// NSF music files: the 128-byte header and the program data behind it.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace pelrin_nsf {

// A file that cannot be played; what() is a one-line reason.
class NsfError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct NsfFile {
    uint8_t version = 0;
    uint8_t songCount = 0;
    uint8_t startSong = 1;            // 1-based, as stored
    uint16_t loadAddress = 0;
    uint16_t initAddress = 0;
    uint16_t playAddress = 0;
    std::string title, artist, copyright;
    uint16_t ntscSpeed = 0;           // microseconds between play calls
    uint16_t palSpeed = 0;
    std::array<uint8_t, 8> bankInit{}; // $70-$77
    uint8_t region = 0;               // $7A: bit 0 PAL, bit 1 both
    uint8_t chips = 0;                // $7B: expansion chips
    // $7C (version 2): bit 4 interrupts, bit 5 non-returning init, bit 6 no
    // play routine, bit 7 metadata chunks after the program
    uint8_t flags = 0;
    std::vector<uint8_t> data;        // program data

    // Metadata of NSFe files and of version 2 files' chunks (else empty).
    bool nsfe = false;
    std::string ripper;
    std::vector<std::string> trackTitles;  // by track, may be shorter than songCount
    std::vector<int32_t> trackLengthMs;    // by track; negative: unknown
    std::vector<int32_t> trackFadeMs;      // by track; negative: unknown
    std::vector<uint8_t> playlist;         // 0-based tracks in playing order; empty: all in order

    bool bankswitched() const;
    // Version 2 interrupts: the IRQ vector at $FFFE-$FFFF is writable, the
    // timer at $401B-$401D and the sound unit's interrupts reach the CPU.
    bool usesInterrupts() const { return version >= 2 && (flags & 0x10); }
    // Version 2 playing modes this player lacks: non-returning init, no play routine.
    bool unsupportedModes() const { return version >= 2 && (flags & 0x60); }
    bool palOnly() const { return (region & 3) == 1; }
    // Title, length and fade of a 0-based track ("" and -1 when not given).
    std::string trackTitle(int track) const;
    int32_t lengthMs(int track) const;
    int32_t fadeMs(int track) const;
    // Tracks in playing order: the playlist, else 0..songCount-1.
    std::vector<int> playOrder() const;
};

// Largest NSF file read: 256 banks of 4 KiB, the header and room for metadata.
constexpr uint64_t kMaxNsfBytes = 4u << 20;

// Parses a whole file held in memory (NSF or NSFe). Throws NsfError.
NsfFile parseNsf(const uint8_t *bytes, size_t size);
// Reads and parses a file (a regular file of at most kMaxNsfBytes). Throws
// NsfError (unreadable file included).
NsfFile loadNsf(const std::filesystem::path &path);

// Names of the chips set in a chip byte, e.g. "VRC6, FDS"; "none" for 0.
std::string chipNames(uint8_t chips);

} // namespace pelrin_nsf
