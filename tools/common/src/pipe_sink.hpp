// Overlaps a render with what happens to its PCM afterwards.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "wav.hpp"

namespace pelrin_render {

// Passes the PCM in chunks to a thread of its own, which writes them on to
// `next` (the filter, the fade and the file), so that rendering and the
// rest run on two cores. The bytes are the same as without it: the chunks
// are whole frames and arrive in order. An error of `next` is thrown again
// by the next write or by finish. Only for sinks that may run on another
// thread; `next` is finished on the caller's thread.
class PipeSink : public PcmSink {
public:
    // chunkBytes: a multiple of every frame size (1, 2 or 4 bytes).
    explicit PipeSink(PcmSink &next, size_t chunkBytes = size_t{1} << 18, size_t chunksQueued = 4);
    ~PipeSink() override;  // without finish: the queued chunks are dropped
    PipeSink(const PipeSink &) = delete;
    PipeSink &operator=(const PipeSink &) = delete;

    void write(const uint8_t *data, size_t bytes) override;
    void finish() override;

private:
    void send();  // hands the filled chunk over, waiting for room
    void stop(bool drain);
    void work();

    PcmSink &next_;
    const size_t chunkBytes_;
    const size_t chunksQueued_;
    std::vector<uint8_t> filling_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::vector<uint8_t>> queue_;
    std::vector<std::vector<uint8_t>> spare_;  // emptied chunks, to fill again
    bool closing_ = false;
    bool dropping_ = false;
    std::exception_ptr error_;
    std::thread worker_;
};

} // namespace pelrin_render
