// WAV headers and the PCM destinations of a render.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace pelrin_tools {
class OutputFile;
}

namespace pelrin_render {

// The 44-byte header of a canonical PCM RIFF WAVE file.
std::array<uint8_t, 44> wavHeader(uint32_t rate, uint16_t bits, uint16_t channels, uint32_t dataBytes);

// Largest data chunk a RIFF file can describe, in bytes.
constexpr uint64_t kMaxWavData = 0xFFFFFFFFull - 36;

// Scales the frames in place: gain falls from 1 at the first frame to 0 at
// the last one, squared so the fade sounds even. 8-bit samples are unsigned
// around 128, 16-bit signed little-endian.
void applyFadeOut(uint8_t *data, size_t frames, int bits, int channels, size_t fadeStart, size_t fadeLength);

// Where rendered PCM goes. Errors are thrown as std::runtime_error.
class PcmSink {
public:
    virtual ~PcmSink() = default;
    virtual void write(const uint8_t *data, size_t bytes) = 0;
    // Called once after the last write; completes the output.
    virtual void finish() = 0;
};

// Collects everything in memory (tests, benchmark).
class MemorySink : public PcmSink {
public:
    std::vector<uint8_t> data;
    bool finished = false;
    void write(const uint8_t *d, size_t n) override { data.insert(data.end(), d, d + n); }
    void finish() override { finished = true; }
};

// Holds back the last fadeFrames frames and fades them out at finish().
class FadeOutSink : public PcmSink {
public:
    FadeOutSink(PcmSink &next, size_t fadeFrames, int bits, int channels);
    void write(const uint8_t *data, size_t bytes) override;
    void finish() override;

private:
    PcmSink &next_;
    size_t frameBytes_;
    size_t holdBytes_;
    int bits_, channels_;
    std::vector<uint8_t> tail_;
    size_t head_ = 0; // tail_'s bytes before this were passed on already
};

// Writes a WAV file through a temporary file beside the target, renamed over
// the target by finish(). Destroyed before finish(), it removes the
// temporary file, so a failed render never leaves a file that looks complete.
// A target that is not a regular file (a device, a FIFO) is written straight
// through, with expectedBytes as the header's data size.
class WavFileSink : public PcmSink {
public:
    WavFileSink(const std::filesystem::path &target, uint32_t rate, int bits, int channels,
                uint64_t expectedBytes = kMaxWavData);
    ~WavFileSink() override;
    WavFileSink(const WavFileSink &) = delete;
    WavFileSink &operator=(const WavFileSink &) = delete;
    void write(const uint8_t *data, size_t bytes) override;
    void finish() override;
    const std::filesystem::path &tempPath() const;

private:
    std::unique_ptr<pelrin_tools::OutputFile> out_;
    uint32_t rate_;
    int bits_, channels_;
    uint64_t dataBytes_ = 0;
};

// Raw PCM to an open stream (stdout for `-o -`).
class RawStreamSink : public PcmSink {
public:
    explicit RawStreamSink(std::FILE *stream) : stream_(stream) {}
    void write(const uint8_t *data, size_t bytes) override;
    void finish() override;

private:
    std::FILE *stream_;
};

} // namespace pelrin_render
