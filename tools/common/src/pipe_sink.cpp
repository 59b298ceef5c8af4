#include "pipe_sink.hpp"

#include <cstring>
#include <stdexcept>

namespace pelrin_render {

PipeSink::PipeSink(PcmSink &next, size_t chunkBytes, size_t chunksQueued, bool ownThread)
    : next_(next), chunkBytes_(chunkBytes ? chunkBytes : 1), chunksQueued_(chunksQueued ? chunksQueued : 1),
      filling_(newChunk()) {
    if (ownThread) startThread();
}

PipeSink::Chunk PipeSink::newChunk() const {
    return Chunk{std::make_unique_for_overwrite<uint8_t[]>(chunkBytes_), 0}; // not zeroed: filled before it is read
}

PipeSink::~PipeSink() { stop(false); }

void PipeSink::startThread() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (threaded_ || finished_) return;
        threaded_ = true;
        updateHelpWanted();
    }
    worker_ = std::thread([this] { work(); });
}

void PipeSink::writeOldest(std::unique_lock<std::mutex> &lock) {
    Chunk chunk = std::move(queue_.front());
    queue_.pop_front();
    writing_ = true;
    updateHelpWanted();
    changed_.notify_all();  // room for the renderer
    if (!error_) {
        lock.unlock();
        std::exception_ptr error;
        try {
            next_.write(chunk.data.get(), chunk.size);
        } catch (...) {
            error = std::current_exception();
        }
        lock.lock();
        if (error) error_ = error;
    }
    writing_ = false;
    updateHelpWanted();
    chunk.size = 0;
    spare_.push_back(std::move(chunk));
    changed_.notify_all();
}

void PipeSink::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return !writing_ && (!queue_.empty() || closing_); });
        if (dropping_ || queue_.empty()) return;  // closing: what is queued is still written first
        writeOldest(lock);
    }
}

bool PipeSink::help() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (queue_.empty() || writing_) return false;
    writeOldest(lock);
    return true;
}

void PipeSink::send() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (queue_.size() >= chunksQueued_ && !error_) {
        if (!threaded_ && !writing_) writeOldest(lock);
        else changed_.wait(lock);
    }
    if (error_) std::rethrow_exception(error_);
    queue_.push_back(std::move(filling_));
    updateHelpWanted();
    changed_.notify_all();
    if (!spare_.empty()) {
        filling_ = std::move(spare_.back());
        spare_.pop_back();
    } else {
        filling_ = newChunk();
    }
    const bool tell = !threaded_ && onQueued_;
    lock.unlock();
    if (tell) onQueued_();
}

void PipeSink::write(const uint8_t *data, size_t bytes) {
    if (finished_) throw std::logic_error("write after finish");
    while (bytes != 0) {
        const size_t take = std::min(bytes, chunkBytes_ - filling_.size);
        std::memcpy(filling_.data.get() + filling_.size, data, take);
        filling_.size += take;
        data += take;
        bytes -= take;
        if (filling_.size == chunkBytes_) send();
    }
}

uint8_t *PipeSink::room(size_t bytes) {
    if (finished_) throw std::logic_error("write after finish");
    if (bytes > chunkBytes_) throw std::logic_error("room for more than a chunk");
    if (chunkBytes_ - filling_.size < bytes) send();
    return filling_.data.get() + filling_.size;
}

void PipeSink::wrote(size_t bytes) {
    filling_.size += bytes;
    if (filling_.size == chunkBytes_) send();
}

void PipeSink::stop(bool drain) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
        dropping_ = !drain;
    }
    changed_.notify_all();
    if (worker_.joinable()) worker_.join();
}

void PipeSink::finish() {
    if (finished_) return;
    if (filling_.size != 0) send();
    stop(true);
    finished_ = true;
    // Without a thread of its own (or after a helper left some): the rest here.
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return !writing_; });
        if (queue_.empty()) break;
        writeOldest(lock);
    }
    if (error_) std::rethrow_exception(error_);
    lock.unlock();
    next_.finish();
}

} // namespace pelrin_render
