#include "wav.hpp"

#include <output_file.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace pelrin_render {

namespace {
void put16(uint8_t *p, uint16_t v) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }
void put32(uint8_t *p, uint32_t v) { for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i)); }

std::string errnoText() { return std::strerror(errno); }
} // namespace

std::array<uint8_t, 44> wavHeader(uint32_t rate, uint16_t bits, uint16_t channels, uint32_t dataBytes) {
    std::array<uint8_t, 44> h{};
    uint16_t blockAlign = static_cast<uint16_t>(channels * bits / 8);
    std::memcpy(&h[0], "RIFF", 4);
    put32(&h[4], 36 + dataBytes);
    std::memcpy(&h[8], "WAVE", 4);
    std::memcpy(&h[12], "fmt ", 4);
    put32(&h[16], 16);        // fmt chunk size
    put16(&h[20], 1);         // integer PCM
    put16(&h[22], channels);
    put32(&h[24], rate);
    put32(&h[28], rate * blockAlign);
    put16(&h[32], blockAlign);
    put16(&h[34], bits);
    std::memcpy(&h[36], "data", 4);
    put32(&h[40], dataBytes);
    return h;
}

void applyFadeOut(uint8_t *data, size_t frames, int bits, int channels, size_t fadeStart, size_t fadeLength) {
    if (fadeLength == 0) return;
    const size_t bytesPerSample = static_cast<size_t>(bits / 8);
    for (size_t f = 0; f < frames; ++f) {
        size_t pos = fadeStart + f; // position within the fade
        double x = fadeLength > 1 ? 1.0 - static_cast<double>(pos) / static_cast<double>(fadeLength - 1) : 0.0;
        if (x < 0.0) x = 0.0;
        double gain = x * x;
        for (int c = 0; c < channels; ++c) {
            uint8_t *s = data + (f * static_cast<size_t>(channels) + static_cast<size_t>(c)) * bytesPerSample;
            if (bits == 8) {
                double v = (static_cast<int>(s[0]) - 128) * gain;
                s[0] = static_cast<uint8_t>(128 + static_cast<int>(v));
            } else {
                int16_t v = static_cast<int16_t>(static_cast<uint16_t>(s[0] | (s[1] << 8)));
                int16_t o = static_cast<int16_t>(static_cast<double>(v) * gain);
                s[0] = static_cast<uint8_t>(static_cast<uint16_t>(o) & 0xFF);
                s[1] = static_cast<uint8_t>(static_cast<uint16_t>(o) >> 8);
            }
        }
    }
}

FadeOutSink::FadeOutSink(PcmSink &next, size_t fadeFrames, int bits, int channels)
    : next_(next), frameBytes_(static_cast<size_t>(bits / 8 * channels)), holdBytes_(fadeFrames * frameBytes_),
      bits_(bits), channels_(channels) {}

void FadeOutSink::write(const uint8_t *data, size_t bytes) {
    tail_.insert(tail_.end(), data, data + bytes);
    // Pass on whatever can no longer be part of the fade, in large pieces.
    if (tail_.size() - head_ > holdBytes_ + (1u << 16)) {
        size_t out = tail_.size() - head_ - holdBytes_;
        out -= out % frameBytes_;
        next_.write(tail_.data() + head_, out);
        head_ += out;
        // The bytes passed on are dropped once they outweigh those held, so
        // each byte is moved about once, however long the fade.
        if (head_ > tail_.size() - head_) {
            tail_.erase(tail_.begin(), tail_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
    }
}

void FadeOutSink::finish() {
    uint8_t *held = tail_.data() + head_;
    size_t frames = (tail_.size() - head_) / frameBytes_;
    size_t fadeFrames = holdBytes_ / frameBytes_;
    if (frames > fadeFrames) {
        size_t out = (frames - fadeFrames) * frameBytes_;
        next_.write(held, out);
        held += out;
        frames = fadeFrames;
    }
    // A render shorter than the fade fades over what there is.
    applyFadeOut(held, frames, bits_, channels_, 0, frames);
    const size_t rest = static_cast<size_t>(tail_.data() + tail_.size() - held);
    if (rest) next_.write(held, rest);
    tail_.clear();
    head_ = 0;
    next_.finish();
}

WavFileSink::WavFileSink(const std::filesystem::path &target, uint32_t rate, int bits, int channels,
                         uint64_t expectedBytes)
    : out_(std::make_unique<pelrin_tools::OutputFile>(target)), rate_(rate), bits_(bits), channels_(channels) {
    const auto size = static_cast<uint32_t>(out_->seekable() ? 0 : std::min(expectedBytes, kMaxWavData));
    auto h = wavHeader(rate_, static_cast<uint16_t>(bits_), static_cast<uint16_t>(channels_), size);
    // A size the caller knows (not the default, the most a WAV file holds).
    if (out_->seekable() && expectedBytes < kMaxWavData) out_->reserve(h.size() + expectedBytes);
    out_->write(h.data(), h.size());
}

WavFileSink::~WavFileSink() = default;

const std::filesystem::path &WavFileSink::tempPath() const { return out_->tempPath(); }

void WavFileSink::write(const uint8_t *data, size_t bytes) {
    if (!out_) throw std::logic_error("write after finish");
    if (dataBytes_ + bytes > kMaxWavData)
        throw std::runtime_error("the output is too long for a WAV file (4 GiB); use a shorter length or -o -");
    out_->write(data, bytes);
    dataBytes_ += bytes;
}

void WavFileSink::finish() {
    if (out_->seekable()) {
        auto h = wavHeader(rate_, static_cast<uint16_t>(bits_), static_cast<uint16_t>(channels_),
                           static_cast<uint32_t>(dataBytes_));
        out_->writeAt(0, h.data(), h.size());
    }
    out_->commit();
    out_.reset();
}

void RawStreamSink::write(const uint8_t *data, size_t bytes) {
    if (bytes && std::fwrite(data, 1, bytes, stream_) != bytes)
        throw std::runtime_error(std::string("cannot write the output: ") + errnoText());
}

void RawStreamSink::finish() {
    if (std::fflush(stream_) != 0) throw std::runtime_error(std::string("cannot write the output: ") + errnoText());
}

} // namespace pelrin_render
