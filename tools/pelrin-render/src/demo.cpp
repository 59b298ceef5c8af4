// The demo song. A tiny sound driver written here in C++ turns notes into
// the register writes a game's music routine would make once per video
// frame, and the result is printed as a register log.
//
// Form (A minor, 7 frames a sixteenth, about 129 beats a minute):
//   bars  0-7   2A03: lead on pulse 1, arpeggio on pulse 2, triangle bass,
//               noise drums, delta-coded kick drum
//   bars  8-11  VRC6: lead and broken chords on its pulses, sawtooth bass
//   bars 12-15  MMC5: lead and pad on its pulses, plucked PCM bass
//   bars 16-20  Namco 163: wavetable lead, two pad voices and a sine bass
// The 2A03 drums play under every section.

#include "demo.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <stdexcept>

namespace pelrin_render {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kFrameRate = 60.0988; // video frames per second
constexpr int kSixteenth = 7;          // frames
constexpr int kBar = 16 * kSixteenth;

constexpr int kSectionVrc6 = 8 * kBar;
constexpr int kSectionMmc5 = 12 * kBar;
constexpr int kSectionN163 = 16 * kBar;
constexpr int kSongEnd = 21 * kBar;
constexpr int kTailFrames = 40;

double midiHz(double midi) { return 440.0 * std::pow(2.0, (midi - 69.0) / 12.0); }

int noteNumber(const std::string &name) {
    static const std::map<char, int> base = {{'C', 0}, {'D', 2}, {'E', 4}, {'F', 5}, {'G', 7}, {'A', 9}, {'B', 11}};
    size_t i = 0;
    int semi = base.at(name.at(i++));
    if (name.at(i) == '#') { ++semi; ++i; }
    else if (name.at(i) == 'b') { --semi; ++i; }
    int octave = std::stoi(name.substr(i));
    return 12 * (octave + 1) + semi;
}

struct Note {
    int start; // frame
    int len;   // frames
    int midi;
};

// "A4/2 C5/2 -/4 ..." : note or rest '-', slash, length in sixteenths.
std::vector<Note> phrase(const std::string &text, int startFrame) {
    std::vector<Note> notes;
    int at = startFrame;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ' || text[i] == '|') { ++i; continue; }
        size_t slash = text.find('/', i);
        size_t end = text.find_first_of(" |", slash);
        if (end == std::string::npos) end = text.size();
        std::string name = text.substr(i, slash - i);
        int len = std::stoi(text.substr(slash + 1, end - slash - 1)) * kSixteenth;
        if (name != "-") notes.push_back({at, len, noteNumber(name)});
        at += len;
        i = end;
    }
    return notes;
}

// Volume shape of a voice, in 4-bit steps per frame.
struct Instrument {
    std::vector<int> attack; // volumes of the first frames
    int sustain;             // decays towards this ...
    int decayEvery;          // ... one step every so many frames (0: no decay)
    int release;             // steps lost per frame after the note ends
    int gap;                 // frames of silence before the next note
    double vibratoCents = 0; // vibrato depth
    int vibratoDelay = 0;    // frames before vibrato starts
};

struct VoiceFrame {
    int volume = 0;
    double hz = 0;
};

int envelope(const Instrument &in, int t) {
    if (t < static_cast<int>(in.attack.size())) return in.attack[static_cast<size_t>(t)];
    int v = in.attack.back();
    if (in.decayEvery > 0) v -= (t - static_cast<int>(in.attack.size()) + 1) / in.decayEvery;
    return std::max(v, std::min(in.sustain, in.attack.back()));
}

// What a voice plays in each frame of [from, to); every note is released by cut.
std::vector<VoiceFrame> perform(const std::vector<Note> &notes, const Instrument &in, int from, int to, int cut) {
    std::vector<VoiceFrame> out(static_cast<size_t>(to - from));
    size_t n = 0;
    for (int f = from; f < to; ++f) {
        while (n + 1 < notes.size() && notes[n + 1].start <= f) ++n;
        if (notes.empty() || notes[n].start > f) continue;
        const Note &note = notes[n];
        int t = f - note.start;
        int gate = std::min(std::max(1, note.len - in.gap), cut - note.start);
        int v;
        if (t < gate) v = envelope(in, t);
        else v = std::max(0, envelope(in, gate - 1) - in.release * (t - gate + 1));
        double hz = midiHz(note.midi);
        if (in.vibratoCents > 0 && t >= in.vibratoDelay) {
            double phase = 2.0 * kPi * 5.5 * (t - in.vibratoDelay) / kFrameRate;
            hz *= std::pow(2.0, in.vibratoCents * std::sin(phase) / 1200.0);
        }
        out[static_cast<size_t>(f - from)] = {std::clamp(v, 0, 15), hz};
    }
    return out;
}

struct Chord {
    int root;             // bass note
    std::vector<int> tones; // upper voicing, low to high
};

Chord chord(const std::string &bass, std::initializer_list<const char *> tones) {
    Chord c{noteNumber(bass), {}};
    for (const char *t : tones) c.tones.push_back(noteNumber(t));
    return c;
}

class Song {
public:
    explicit Song(const Environment &env) : env_(env) {}

    uint64_t cycleOf(int frame) const {
        return static_cast<uint64_t>(std::llround(frame * env_.clock / kFrameRate));
    }

    // A register write in the given frame; slot orders the writes of one frame.
    void write(int frame, int slot, unsigned address, unsigned value) {
        writeAt(cycleOf(frame) + 12 + 4 * static_cast<uint64_t>(slot), address, value);
    }
    void writeAt(uint64_t cycle, unsigned address, unsigned value) {
        char buf[48];
        std::snprintf(buf, sizeof buf, "w %llu $%04X $%02X", static_cast<unsigned long long>(cycle), address,
                      value & 0xFFu);
        events_.push_back({cycle, seq_++, buf});
    }
    void line(uint64_t cycle, const std::string &text) { events_.push_back({cycle, seq_++, text}); }

    void reset(int frame, const char *chip) {
        uint64_t c = cycleOf(frame);
        line(c, "run " + std::to_string(c) + "\nreset " + chip);
    }

    std::string text(const std::string &header) {
        std::stable_sort(events_.begin(), events_.end(),
                         [](const Event &a, const Event &b) { return a.cycle < b.cycle; });
        std::string out = header;
        out.reserve(events_.size() * 24 + header.size());
        for (const Event &e : events_) {
            out += e.text;
            out += '\n';
        }
        return out;
    }

    const Environment &env() const { return env_; }

private:
    struct Event {
        uint64_t cycle;
        int seq;
        std::string text;
    };
    Environment env_;
    std::vector<Event> events_;
    int seq_ = 0;
};

// Period register values.
int pulsePeriod(const Environment &e, double hz) { return static_cast<int>(std::lround(e.clock / (16.0 * hz))) - 1; }
int trianglePeriod(const Environment &e, double hz) { return static_cast<int>(std::lround(e.clock / (32.0 * hz))) - 1; }
int sawPeriod(const Environment &e, double hz) { return static_cast<int>(std::lround(e.clock / (14.0 * hz))) - 1; }

// A 2A03 or MMC5 pulse voice: constant-volume mode, length counter halted.
void emitPulse(Song &s, unsigned base, int duty, bool hasSweep, const std::vector<VoiceFrame> &frames, int from,
               int slot) {
    int lastVol = -1, lastLo = -1, lastHi = -1;
    if (hasSweep) s.write(from, slot, base + 1, 0x08); // negate set: no sweep muting of low notes
    for (size_t i = 0; i < frames.size(); ++i) {
        int f = from + static_cast<int>(i);
        const VoiceFrame &v = frames[i];
        int k = 1;
        if (v.volume != lastVol) {
            s.write(f, slot + k++, base, static_cast<unsigned>(duty << 6 | 0x30 | v.volume));
            lastVol = v.volume;
        }
        if (v.volume == 0 || v.hz <= 0) continue;
        int p = std::clamp(pulsePeriod(s.env(), v.hz), 8, 0x7FF);
        if ((p & 0xFF) != lastLo) { s.write(f, slot + k++, base + 2, static_cast<unsigned>(p & 0xFF)); lastLo = p & 0xFF; }
        if ((p >> 8) != lastHi) { s.write(f, slot + k++, base + 3, static_cast<unsigned>(0xF8 | (p >> 8))); lastHi = p >> 8; }
    }
}

void emitVrc6Pulse(Song &s, unsigned base, int duty, const std::vector<VoiceFrame> &frames, int from, int slot) {
    int lastVol = -1, lastLo = -1, lastHi = -1;
    for (size_t i = 0; i < frames.size(); ++i) {
        int f = from + static_cast<int>(i);
        const VoiceFrame &v = frames[i];
        int k = 0;
        if (v.volume != lastVol) {
            s.write(f, slot + k++, base, static_cast<unsigned>(duty << 4 | v.volume));
            lastVol = v.volume;
        }
        if (v.volume == 0 || v.hz <= 0) continue;
        int p = std::clamp(pulsePeriod(s.env(), v.hz), 1, 0xFFF);
        if ((p & 0xFF) != lastLo) { s.write(f, slot + k++, base + 1, static_cast<unsigned>(p & 0xFF)); lastLo = p & 0xFF; }
        if ((p >> 8) != lastHi) { s.write(f, slot + k++, base + 2, static_cast<unsigned>(0x80 | (p >> 8))); lastHi = p >> 8; }
    }
}

// Drum kit on the noise channel plus the delta-coded kick.
struct Hit {
    std::vector<int> volume;
    std::vector<int> period; // $400E per frame (last one repeats)
};

const Hit kHat{{5, 3, 2, 1, 0}, {0x03}};
const Hit kOpenHat{{6, 5, 5, 4, 4, 3, 3, 2, 2, 1, 1, 0}, {0x03}};
const Hit kSnare{{13, 12, 10, 9, 8, 7, 6, 5, 4, 3, 3, 2, 2, 1, 1, 0}, {0x09, 0x08, 0x06}};
const Hit kCrash{{13, 13, 12, 12, 11, 11, 10, 10, 10, 9, 9, 9, 8, 8, 8, 7, 7, 7, 6, 6, 6, 6, 5, 5, 5, 5, 4, 4, 4, 4,
                  3, 3, 3, 3, 3, 2, 2, 2, 2, 2, 1, 1, 1, 1, 1, 1, 0},
                 {0x02, 0x03}};

struct DmcSample {
    unsigned address; // CPU address, a multiple of 64 from $C000
    std::vector<uint8_t> bytes;
};

// Delta-codes target(t) (a level 0..127 over time) as the channel plays it:
// each bit moves the level 2 up or down, and it cannot leave 0..127.
DmcSample encodeDmc(unsigned address, double seconds, double bitRate, int startLevel,
                    const std::function<double(double)> &target) {
    size_t bits = static_cast<size_t>(std::ceil(seconds * bitRate));
    size_t bytes = (bits + 7) / 8;
    size_t lengthCode = (bytes - 1 + 15) / 16;
    bytes = lengthCode * 16 + 1;
    DmcSample s{address, std::vector<uint8_t>(bytes, 0)};
    int level = startLevel;
    for (size_t i = 0; i < bytes * 8; ++i) {
        double want = target(static_cast<double>(i) / bitRate);
        bool up = want > level;
        if (up) {
            if (level < 126) level += 2;
            s.bytes[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
        } else if (level > 1) {
            level -= 2;
        }
    }
    return s;
}

double kickWave(double t) {
    // Pitch falls from about 160 Hz to 45 Hz; the amplitude decays.
    double phase = 2.0 * kPi * (45.0 * t + 115.0 * 0.03 * (1.0 - std::exp(-t / 0.03)));
    return 46.0 * std::exp(-t / 0.065) * std::sin(phase);
}

class Demo {
public:
    explicit Demo(const Environment &env) : s_(env) {
        double bitRate = env.clock / (env.region == 0 ? 54.0 : 50.0); // rate index 15
        kick_ = encodeDmc(0xC000, 0.2, bitRate, 64, [](double t) { return 64.0 + kickWave(t); });
        // The first kick after a reset also lifts the level from 0 to the centre.
        kickUp_ = encodeDmc(0xC380, 0.2, bitRate, 0, [](double t) {
            double rise = std::min(1.0, t / 0.12);
            return 64.0 * rise * rise * (3.0 - 2.0 * rise) + kickWave(t) * rise;
        });
    }

    std::string build() {
        section2A03();
        sectionVrc6();
        sectionMmc5();
        sectionN163();
        drums(0, kSongEnd);
        s_.line(s_.cycleOf(kSongEnd + kTailFrames), "run " + std::to_string(s_.cycleOf(kSongEnd + kTailFrames)));
        return s_.text(header());
    }

private:
    std::string header() const {
        std::string h =
            "# pelrin-render demo song: register log generated by the tool itself.\n"
            "# 2A03 (bars 1-8), VRC6 (9-12), MMC5 (13-16), Namco 163 (17-21).\n"
            "# Delta-coded kick drums in host memory at $C000 and $C380:\n";
        for (const DmcSample *smp : {&kick_, &kickUp_}) {
            for (size_t i = 0; i < smp->bytes.size(); i += 32) {
                char buf[16];
                std::snprintf(buf, sizeof buf, "mem $%04X ", static_cast<unsigned>(smp->address + i));
                h += buf;
                for (size_t k = i; k < std::min(smp->bytes.size(), i + 32); ++k) {
                    std::snprintf(buf, sizeof buf, "%02X", smp->bytes[k]);
                    h += buf;
                }
                h += '\n';
            }
        }
        h += "reset none\n";
        return h;
    }

    // Bits of $4015 that stay on in a section (the tone channels it uses).
    int enableMask(int frame) const { return frame < kSectionVrc6 ? 0x0F : 0x08; }

    void sectionStart(int frame, const char *chip) {
        if (frame > 0) {
            // Bring the delta channel's level down to 0 before the reset does,
            // over the last eighth note, so the reset makes no jump.
            int rampFrom = frame - 2 * kSixteenth;
            int prevMask = enableMask(frame - 1);
            s_.write(rampFrom, 0, 0x4015, static_cast<unsigned>(prevMask));
            uint64_t c0 = s_.cycleOf(rampFrom) + 40, c1 = s_.cycleOf(frame) - 400;
            for (int level = 63; level >= 0; --level)
                s_.writeAt(c0 + (c1 - c0) * static_cast<uint64_t>(63 - level) / 64, 0x4011, static_cast<unsigned>(level));
            s_.reset(frame, chip);
        }
        int mask = enableMask(frame);
        s_.write(frame, 0, 0x4017, 0x40);          // frame interrupt off, as a game would
        s_.write(frame, 1, 0x4015, static_cast<unsigned>(mask));
        s_.write(frame, 2, 0x400C, 0x30);          // noise silent, halted
        s_.write(frame, 3, 0x400F, 0xF8);          // load its length counter
    }

    void drums(int from, int to) {
        struct Strike { int frame; const Hit *hit; };
        std::vector<Strike> noise;
        for (int bar = from / kBar; bar < to / kBar; ++bar) {
            int b = bar * kBar;
            bool fill = bar == 7 || bar == 11 || bar == 15;
            bool first = bar == 0 || b == kSectionVrc6 || b == kSectionMmc5 || b == kSectionN163;
            if (bar == 20) { // the last bar: one hit, then let it ring
                noise.push_back({b, &kCrash});
                kick(b, false);
                continue;
            }
            for (int k = 0; k < 16; ++k) {
                int f = b + k * kSixteenth;
                if (k == 0 && first) { noise.push_back({f, &kCrash}); continue; }
                if (k == 4 || k == 12 || (fill && k >= 13)) noise.push_back({f, &kSnare});
                else if (fill && k == 10) noise.push_back({f, &kSnare});
                else if (k % 4 == 2 && bar >= 4) noise.push_back({f, &kOpenHat});
                else if (k % 2 == 0 || (bar >= 4 && k % 2 == 1 && !fill)) noise.push_back({f, &kHat});
            }
            kick(b, first);
            kick(b + 8 * kSixteenth, false);
            if (!fill && bar % 2 == 1) kick(b + 10 * kSixteenth, false);
        }
        // Noise register writes: the newest hit owns the channel.
        int lastVol = -1, lastPer = -1;
        for (size_t i = 0; i < noise.size(); ++i) {
            int end = i + 1 < noise.size() ? noise[i + 1].frame : to;
            const Hit &h = *noise[i].hit;
            for (int f = noise[i].frame; f < end; ++f) {
                size_t t = static_cast<size_t>(f - noise[i].frame);
                int vol = t < h.volume.size() ? h.volume[t] : 0;
                int per = h.period[std::min(t, h.period.size() - 1)];
                if (vol == 0 && lastVol == 0) continue;
                if (isResetFrame(f) && t == 0) { lastVol = -1; lastPer = -1; }
                if (vol != lastVol) { s_.write(f, 40, 0x400C, static_cast<unsigned>(0x30 | vol)); lastVol = vol; }
                if (per != lastPer) { s_.write(f, 41, 0x400E, static_cast<unsigned>(per)); lastPer = per; }
            }
        }
    }

    static bool isResetFrame(int f) { return f == kSectionVrc6 || f == kSectionMmc5 || f == kSectionN163; }

    void kick(int frame, bool afterReset) {
        const DmcSample &smp = afterReset ? kickUp_ : kick_;
        int mask = enableMask(frame);
        int slot = 50;
        s_.write(frame, slot++, 0x4015, static_cast<unsigned>(mask)); // stop a kick still playing
        if (!afterReset) s_.write(frame, slot++, 0x4011, 64);          // recentre the level
        s_.write(frame, slot++, 0x4010, 0x0F);
        s_.write(frame, slot++, 0x4012, (smp.address - 0xC000) / 64);
        s_.write(frame, slot++, 0x4013, static_cast<unsigned>((smp.bytes.size() - 1) / 16));
        s_.write(frame, slot++, 0x4015, static_cast<unsigned>(mask | 0x10));
    }

    // Chords, one a bar.
    static std::vector<Chord> chordsA() {
        return {chord("A2", {"A4", "C5", "E5"}), chord("F2", {"A4", "C5", "F5"}), chord("C3", {"G4", "C5", "E5"}),
                chord("G2", {"G4", "B4", "D5"}), chord("A2", {"A4", "C5", "E5"}), chord("F2", {"A4", "C5", "F5"}),
                chord("G2", {"G4", "B4", "D5"}), chord("E2", {"G#4", "B4", "E5"})};
    }

    void section2A03() {
        sectionStart(0, "none");
        const int end = kSectionVrc6;
        auto lead = phrase("A4/2 C5/2 E5/4 D5/2 C5/2 B4/2 C5/2 | A4/6 F4/2 A4/2 C5/2 F5/4 |"
                           "E5/4 G5/4 E5/2 D5/2 C5/4 | D5/6 B4/2 G4/4 -/4 |"
                           "A4/2 C5/2 E5/4 A5/4 G5/2 E5/2 | F5/4 E5/2 D5/2 C5/4 A4/4 |"
                           "B4/4 D5/4 G5/4 F5/2 D5/2 | E5/8 G#5/4 B5/4",
                           0);
        Instrument leadIns{{9, 12, 11}, 8, 4, 2, 1, 14.0, 12};
        emitPulse(s_, 0x4000, 1, true, perform(lead, leadIns, 0, end, end - 6), 0, 4);

        std::vector<Note> arp, bass;
        auto chords = chordsA();
        static const int up[4] = {0, 1, 2, 1};
        static const int bassPattern[8] = {0, 12, 0, 12, 0, 12, 7, 12};
        for (int bar = 0; bar < 8; ++bar) {
            const Chord &c = chords[static_cast<size_t>(bar)];
            for (int k = 0; k < 16; ++k) {
                int tone = c.tones[static_cast<size_t>(up[k % 4])] + (k >= 8 && bar % 2 == 1 ? 12 : 0);
                arp.push_back({bar * kBar + k * kSixteenth, kSixteenth, tone});
            }
            for (int k = 0; k < 8; ++k)
                bass.push_back({bar * kBar + k * 2 * kSixteenth, 2 * kSixteenth, c.root + bassPattern[k]});
        }
        Instrument arpIns{{7, 6}, 2, 2, 2, 0};
        emitPulse(s_, 0x4004, 0, true, perform(arp, arpIns, 0, end, end - 6), 0, 10);

        // Triangle: linear counter held by the control bit, so notes sustain.
        s_.write(0, 16, 0x4008, 0xFF);
        int lastLo = -1, lastHi = -1;
        for (const Note &n : bass) {
            int p = trianglePeriod(s_.env(), midiHz(n.midi));
            if ((p & 0xFF) != lastLo) { s_.write(n.start, 17, 0x400A, static_cast<unsigned>(p & 0xFF)); lastLo = p & 0xFF; }
            if ((p >> 8) != lastHi) { s_.write(n.start, 18, 0x400B, static_cast<unsigned>(0xF8 | (p >> 8))); lastHi = p >> 8; }
        }
    }

    void sectionVrc6() {
        const int from = kSectionVrc6, end = kSectionMmc5;
        sectionStart(from, "vrc6");
        auto lead = phrase("E5/2 E5/2 A5/4 B5/2 C6/2 B5/2 A5/2 | A5/6 G5/2 F5/4 E5/4 |"
                           "G5/2 G5/2 C6/4 B5/2 A5/2 G5/4 | D5/2 G5/2 B5/4 A5/4 G5/4",
                           from);
        Instrument leadIns{{10, 13, 12}, 9, 5, 2, 1, 16.0, 12};
        emitVrc6Pulse(s_, 0x9000, 5, perform(lead, leadIns, from, end, end - 6), from, 4);

        std::vector<Chord> chords = {chord("A2", {"A4", "C5", "E5"}), chord("F2", {"A4", "C5", "F5"}),
                                     chord("C3", {"G4", "C5", "E5"}), chord("G2", {"G4", "B4", "D5"})};
        std::vector<Note> broken, bass;
        static const int order[8] = {0, 1, 2, 1, 0, 2, 1, 2};
        static const int bassPattern[8] = {0, 0, 12, 0, 0, 12, 10, 12};
        for (int bar = 0; bar < 4; ++bar) {
            const Chord &c = chords[static_cast<size_t>(bar)];
            int b = from + bar * kBar;
            for (int k = 0; k < 8; ++k) {
                broken.push_back({b + k * 2 * kSixteenth, 2 * kSixteenth, c.tones[static_cast<size_t>(order[k])] - 12 + (k >= 4 ? 12 : 0)});
                bass.push_back({b + k * 2 * kSixteenth, 2 * kSixteenth, c.root + bassPattern[k]});
            }
        }
        Instrument brokenIns{{8, 7}, 4, 3, 2, 1};
        emitVrc6Pulse(s_, 0xA000, 3, perform(broken, brokenIns, from, end, end - 6), from, 10);

        // Sawtooth bass. Its output is one-sided, so its loudness (the rate)
        // fades in and out over a few frames instead of jumping.
        int lastLo = -1, lastHi = -1, lastRate = -1;
        for (int f = from; f < end; ++f) {
            int rate = std::min({24, (f - from + 1) * 2, std::max(0, (end - 4 - f) * 3)});
            if (rate != lastRate) { s_.write(f, 16, 0xB000, static_cast<unsigned>(rate)); lastRate = rate; }
        }
        for (const Note &n : bass) {
            int p = sawPeriod(s_.env(), midiHz(n.midi));
            if ((p & 0xFF) != lastLo) { s_.write(n.start, 17, 0xB001, static_cast<unsigned>(p & 0xFF)); lastLo = p & 0xFF; }
            if ((p >> 8) != lastHi) { s_.write(n.start, 18, 0xB002, static_cast<unsigned>(0x80 | (p >> 8))); lastHi = p >> 8; }
        }
    }

    void sectionMmc5() {
        const int from = kSectionMmc5, end = kSectionN163;
        sectionStart(from, "mmc5");
        s_.write(from, 3, 0x5015, 0x03); // before the first length loads
        s_.write(from, 3, 0x5010, 0x01);
        auto lead = phrase("F5/4 A5/4 D6/4 C6/2 A5/2 | B5/6 G5/2 D5/4 G5/4 |"
                           "E5/2 G5/2 B5/4 A5/2 G5/2 E5/4 | A5/8 E5/4 C5/4",
                           from);
        Instrument leadIns{{12, 14, 13}, 10, 4, 2, 1, 14.0, 12};
        emitPulse(s_, 0x5000, 2, false, perform(lead, leadIns, from, end, end - 6), from, 4);
        auto pad = phrase("A4/8 D5/8 | B4/8 D5/8 | G4/8 B4/8 | C5/8 E5/8", from);
        Instrument padIns{{2, 3, 4, 5, 6}, 6, 0, 1, 1};
        emitPulse(s_, 0x5004, 1, false, perform(pad, padIns, from, end, end - 6), from, 10);

        // Plucked bass played as PCM: the host writes each sample to $5011.
        std::vector<int> roots = {noteNumber("D2"), noteNumber("G2"), noteNumber("E2"), noteNumber("A2")};
        static const int pattern[8] = {0, 0, 12, 0, 0, 12, 0, 7};
        const double pcmRate = 8000.0;
        const double noteSeconds = 2 * kSixteenth / kFrameRate;
        int last = 128;
        for (int bar = 0; bar < 4; ++bar) {
            for (int k = 0; k < 8; ++k) {
                int start = from + bar * kBar + k * 2 * kSixteenth;
                double hz = midiHz(roots[static_cast<size_t>(bar)] + pattern[k]);
                uint64_t c0 = s_.cycleOf(start) + 300;
                int count = static_cast<int>(noteSeconds * pcmRate) - 8;
                for (int i = 0; i <= count; ++i) {
                    double t = i / pcmRate;
                    double ph = 2.0 * kPi * hz * t;
                    double env = std::exp(-t / 0.14) * (1.0 - std::exp(-t / 0.002));
                    double taper = std::min(1.0, (count - i) / 80.0);
                    double y = (std::sin(ph) + 0.45 * std::sin(2 * ph) + 0.2 * std::sin(3 * ph)) / 1.5;
                    int v = i == count ? 128 : std::clamp(128 + static_cast<int>(std::lround(110.0 * env * taper * y)), 0, 255);
                    if (v != last) {
                        s_.writeAt(c0 + static_cast<uint64_t>(std::llround(i * s_.env().clock / pcmRate)), 0x5011,
                                   static_cast<unsigned>(v));
                        last = v;
                    }
                }
            }
        }
    }

    void sectionN163() {
        const int from = kSectionN163, end = kSongEnd;
        sectionStart(from, "n163");
        // Three 32-sample waves, two samples a byte, low nibble first.
        std::vector<int> waves;
        for (int n = 0; n < 32; ++n) { // lead: sawtooth blended with a square
            double saw = 1.0 - 2.0 * n / 31.0, sq = n < 16 ? 1.0 : -1.0;
            waves.push_back(static_cast<int>(std::lround(7.5 + 7.5 * (0.6 * saw + 0.4 * sq))));
        }
        for (int n = 0; n < 32; ++n) { // pad: rounded triangle
            double tri = n < 16 ? -1.0 + n / 7.5 : 3.0 - n / 7.5;
            waves.push_back(static_cast<int>(std::lround(7.5 + 7.5 * std::sin(tri * kPi / 2))));
        }
        for (int n = 0; n < 32; ++n) // bass: sine
            waves.push_back(static_cast<int>(std::lround(7.5 + 7.5 * std::sin(2 * kPi * n / 32.0))));
        int slot = 20;
        s_.write(from, slot++, 0xF800, 0x80); // address 0, auto-increment
        for (size_t i = 0; i < waves.size(); i += 2)
            s_.write(from, slot++, 0x4800, static_cast<unsigned>(waves[i] | waves[i + 1] << 4));

        auto lead = phrase("C6/4 A5/4 F5/4 A5/2 C6/2 | B5/4 D6/4 B5/2 G5/2 D5/4 |"
                           "E5/2 G#5/2 B5/4 D6/4 B5/4 | A5/32",
                           from);
        auto pad1 = phrase("A4/16 | B4/16 | G#4/16 | C5/32", from);
        auto pad2 = phrase("C5/16 | D5/16 | B4/16 | E5/32", from);
        std::vector<Note> bass;
        std::vector<int> roots = {noteNumber("F2"), noteNumber("G2"), noteNumber("E2"), noteNumber("A2")};
        for (int bar = 0; bar < 4; ++bar)
            for (int k = 0; k < 8; ++k)
                bass.push_back({from + bar * kBar + k * 2 * kSixteenth, 2 * kSixteenth,
                                roots[static_cast<size_t>(bar)] + (k % 2 ? 12 : 0)});
        bass.push_back({from + 4 * kBar, kBar, noteNumber("A2")});

        Instrument leadIns{{10, 13, 12}, 9, 6, 2, 1, 18.0, 12};
        Instrument padIns{{2, 3, 4, 5, 6, 7}, 7, 0, 1, 0};
        Instrument bassIns{{13, 12, 11}, 8, 3, 3, 1};
        // The last bar rings out: every voice decays over it.
        const int ring = from + 4 * kBar;
        auto fadeLastBar = [&](std::vector<VoiceFrame> v) {
            for (size_t i = 0; i < v.size(); ++i) {
                int f = from + static_cast<int>(i);
                if (f >= ring) v[i].volume = v[i].volume * std::max(0, end - 8 - f) / (end - 8 - ring);
            }
            return v;
        };
        struct Voice {
            int channel;
            int waveNibble;
            std::vector<VoiceFrame> frames;
        };
        // Register 6 holds the wave's start as a nibble address: bytes $00, $10, $20.
        std::vector<Voice> voices = {{7, 0x00, fadeLastBar(perform(lead, leadIns, from, end, end))},
                                     {6, 0x20, fadeLastBar(perform(pad1, padIns, from, end, end))},
                                     {5, 0x20, fadeLastBar(perform(pad2, padIns, from, end, end))},
                                     {4, 0x40, fadeLastBar(perform(bass, bassIns, from, end, end))}};
        const int channels = 4; // channel count code 3: channels 4-7 play
        for (size_t vi = 0; vi < voices.size(); ++vi) {
            const Voice &v = voices[vi];
            unsigned regs = 0x40 + 8u * static_cast<unsigned>(v.channel);
            long lastFreq = -1;
            int lastVol = -1;
            for (size_t i = 0; i < v.frames.size(); ++i) {
                int f = from + static_cast<int>(i);
                const VoiceFrame &vf = v.frames[i];
                // One sample step lasts 0.5492542 x channels / freq seconds.
                long freq = vf.hz > 0 ? std::lround(vf.hz * 0.5492542 * channels * 32) : lastFreq;
                if (freq < 0) freq = 0;
                freq = std::min(freq, 0x3FFFFL);
                if (freq == lastFreq && vf.volume == lastVol) continue;
                int sl = 100 + 10 * static_cast<int>(vi); // after the wave upload's slots
                s_.write(f, sl++, 0xF800, 0x80 | regs);
                unsigned bytes[8] = {static_cast<unsigned>(freq & 0xFF), 0, static_cast<unsigned>((freq >> 8) & 0xFF), 0,
                                     static_cast<unsigned>((freq >> 16) & 3), 0,
                                     static_cast<unsigned>(v.waveNibble),
                                     static_cast<unsigned>(vf.volume | (v.channel == 7 ? (channels - 1) << 4 : 0))};
                for (unsigned b : bytes) s_.write(f, sl++, 0x4800, b);
                lastFreq = freq;
                lastVol = vf.volume;
            }
        }
    }

    Song s_;
    DmcSample kick_, kickUp_;
};

} // namespace

std::string demoLogText(const Environment &env) {
    Demo demo(env);
    return demo.build();
}

std::vector<DemoSection> demoSections() {
    auto sec = [](int frame) { return frame / kFrameRate; };
    return {{"2A03", sec(0), sec(kSectionVrc6)},
            {"VRC6", sec(kSectionVrc6), sec(kSectionMmc5)},
            {"MMC5", sec(kSectionMmc5), sec(kSectionN163)},
            {"Namco 163", sec(kSectionN163), sec(kSongEnd + kTailFrames)}};
}

} // namespace pelrin_render
