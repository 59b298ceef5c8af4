// Overlaps a render with what happens to its PCM afterwards.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "wav.hpp"

namespace pelrin_render {

// Passes the PCM in chunks to another thread, which writes them on to
// `next` (the filter, the fade and the file), so that rendering and the
// rest run on two cores. The bytes are the same as without it: the chunks
// are whole frames and are written in order, one at a time. An error of
// `next` is thrown again by the next write or by finish. Only for sinks
// that may run on another thread; `next` is finished on the caller's thread.
//
// The other thread is the pipe's own, or, for a pipe made without one, a
// thread that has work of its own and calls help() when it has time (the
// NSF player's CPU while the library runs ahead of it). Without a thread
// of its own, a writer that finds the pipe full writes the oldest chunk on
// itself when no helper is at it, so nothing waits on a helper that is busy.
class PipeSink : public PcmSink {
public:
    // chunkBytes: a multiple of every frame size (1, 2 or 4 bytes).
    explicit PipeSink(PcmSink &next, size_t chunkBytes = size_t{1} << 18, size_t chunksQueued = 4,
                      bool ownThread = true);
    ~PipeSink() override;  // without finish: the queued chunks are dropped
    PipeSink(const PipeSink &) = delete;
    PipeSink &operator=(const PipeSink &) = delete;

    void write(const uint8_t *data, size_t bytes) override;
    void finish() override;

    // Room for up to `bytes` (at most the chunk size) at the end of the
    // chunk being filled, for the caller to write into in place; a chunk
    // with less room is handed over first, a little short. wrote(n) then
    // takes the first n bytes written there, a whole number of frames.
    // Between the two, nothing else writes to the pipe.
    uint8_t *room(size_t bytes);
    void wrote(size_t bytes);

    // Gives a pipe made without a thread its own from here on.
    void startThread();
    // Writes the oldest queued chunk on the calling thread, unless none is
    // queued or another thread is writing one; returns whether it did.
    bool help();
    // Whether help() would find a chunk to write now.
    bool helpWanted() const { return helpWanted_.load(); }
    // Called on the writer's thread after each chunk it queues in a pipe
    // without a thread of its own (a helper that sleeps is woken by it).
    void onQueued(std::function<void()> call) { onQueued_ = std::move(call); }

private:
    void send();  // hands the filled chunk over, waiting for room
    void stop(bool drain);
    void work();
    // Writes the oldest chunk; called with the lock held, a chunk queued
    // and none being written, and returns with the lock held again.
    void writeOldest(std::unique_lock<std::mutex> &lock);
    void updateHelpWanted() { helpWanted_.store(!threaded_ && !queue_.empty() && !writing_); }

    struct Chunk {
        std::unique_ptr<uint8_t[]> data; // chunkBytes_ of them
        size_t size = 0;
    };
    Chunk newChunk() const;

    PcmSink &next_;
    const size_t chunkBytes_;
    const size_t chunksQueued_;
    Chunk filling_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Chunk> queue_;
    std::vector<Chunk> spare_;  // emptied chunks, to fill again
    bool threaded_ = false; // the pipe has a thread of its own
    bool writing_ = false;  // a thread is writing a chunk on
    bool closing_ = false;
    bool dropping_ = false;
    std::exception_ptr error_;
    std::atomic<bool> helpWanted_{false};
    std::function<void()> onQueued_;
    std::thread worker_;
    bool finished_ = false;
};

} // namespace pelrin_render
