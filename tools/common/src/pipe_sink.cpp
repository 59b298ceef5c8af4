#include "pipe_sink.hpp"

#include <stdexcept>

namespace pelrin_render {

PipeSink::PipeSink(PcmSink &next, size_t chunkBytes, size_t chunksQueued)
    : next_(next), chunkBytes_(chunkBytes ? chunkBytes : 1), chunksQueued_(chunksQueued ? chunksQueued : 1) {
    filling_.reserve(chunkBytes_);
    worker_ = std::thread([this] { work(); });
}

PipeSink::~PipeSink() { stop(false); }

void PipeSink::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return !queue_.empty() || closing_; });
        if (queue_.empty() || dropping_) return;
        std::vector<uint8_t> chunk = std::move(queue_.front());
        queue_.pop_front();
        changed_.notify_all();  // room for the renderer
        if (!error_) {
            lock.unlock();
            try {
                next_.write(chunk.data(), chunk.size());
            } catch (...) {
                lock.lock();
                error_ = std::current_exception();
                changed_.notify_all();
                continue;
            }
            lock.lock();
        }
        chunk.clear();
        spare_.push_back(std::move(chunk));
    }
}

void PipeSink::send() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return queue_.size() < chunksQueued_ || error_; });
    if (error_) std::rethrow_exception(error_);
    queue_.push_back(std::move(filling_));
    changed_.notify_all();
    if (!spare_.empty()) {
        filling_ = std::move(spare_.back());
        spare_.pop_back();
    } else {
        filling_ = std::vector<uint8_t>();
        filling_.reserve(chunkBytes_);
    }
}

void PipeSink::write(const uint8_t *data, size_t bytes) {
    if (!worker_.joinable()) throw std::logic_error("write after finish");
    while (bytes != 0) {
        const size_t take = std::min(bytes, chunkBytes_ - filling_.size());
        filling_.insert(filling_.end(), data, data + take);
        data += take;
        bytes -= take;
        if (filling_.size() == chunkBytes_) send();
    }
}

void PipeSink::stop(bool drain) {
    if (!worker_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
        dropping_ = !drain;
    }
    changed_.notify_all();
    worker_.join();
}

void PipeSink::finish() {
    if (!filling_.empty()) send();
    stop(true);
    if (error_) std::rethrow_exception(error_);
    next_.finish();
}

} // namespace pelrin_render
