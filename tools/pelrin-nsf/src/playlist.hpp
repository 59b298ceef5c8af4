// The tracks a run plays: the tracks of an NSF or NSFe file (in the file's
// playlist order when it has one), or the entries of an extended M3U
// playlist (`file.nsf::NSF,track,title,length,loop,fade` lines).
#pragma once

#include "nsf.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelrin_nsf {

struct Track {
    std::filesystem::path file; // the NSF or NSFe file
    int track = 0;              // 0-based track in that file
    std::string title;          // empty when unknown
    int32_t lengthMs = -1;      // negative: unknown
    int32_t fadeMs = -1;        // negative: unknown
};

// "1:23", "83", "1:02:03", "83.5", "1:23.250": milliseconds; nullopt for
// anything else (an empty field included).
std::optional<int32_t> parseTime(std::string_view text);

// Parses extended M3U text. Lines that are empty, comments ('#') or plain
// file names without "::NSF" are skipped; track numbers are 1-based
// (decimal or $hex); "\," in a title is a comma. Files are resolved against
// baseDir. Throws NsfError naming the line for a malformed entry.
std::vector<Track> parseM3u(std::string_view text, const std::filesystem::path &baseDir);

// True for names ending in .m3u or .m3u8 (any case).
bool isPlaylistName(const std::filesystem::path &path);

// Tracks of a loaded file, in playing order, with its metadata.
std::vector<Track> fileTracks(const std::filesystem::path &path, const NsfFile &nsf);

// "12:34" or "1:02:03" for a length in milliseconds; "?" when unknown.
std::string formatTime(int64_t ms);

// A file name for a track: "NN title.ext" with characters that some file
// system refuses (or that are awkward in shells) replaced, and without
// trailing dots or spaces.
std::string trackFileName(int number, const std::string &title, const std::string &extension);

} // namespace pelrin_nsf
