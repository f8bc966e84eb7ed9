// WebEvents: one lock, one bounded queue per stream; a stream that falls behind is told to resync.
#include "WebEvents.h"

#include <algorithm>

namespace station {

std::shared_ptr<WebEvents> WebEvents::create(std::size_t maxStreams, std::size_t maxQueued) {
    return std::shared_ptr<WebEvents>(new WebEvents(maxStreams, maxQueued));
}

std::shared_ptr<WebEvents::Stream> WebEvents::open() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || streams_.size() >= maxStreams_) return nullptr;
    auto stream = std::make_shared<Stream>(shared_from_this());
    streams_.push_back(stream.get());
    return stream;
}

void WebEvents::publish(const Tile& tile) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Stream* stream : streams_) {
        if (stream->queue_.size() >= maxQueued_) {
            stream->queue_.clear();
            stream->lostEvents_ = true;
        } else {
            stream->queue_.push_back(tile);
        }
        stream->wake_.notify_one();
    }
}

void WebEvents::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    for (Stream* stream : streams_) stream->wake_.notify_one();
}

WebEvents::Stream::~Stream() {
    std::lock_guard<std::mutex> lock(hub_->mutex_);
    auto& streams = hub_->streams_;
    streams.erase(std::remove(streams.begin(), streams.end(), this), streams.end());
}

WebEvents::Next WebEvents::Stream::next(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(hub_->mutex_);
    wake_.wait_for(lock, wait, [this] { return hub_->closed_ || lostEvents_ || !queue_.empty(); });
    if (hub_->closed_) return {Kind::Closed, {}};
    if (lostEvents_) {
        lostEvents_ = false;
        return {Kind::Resync, {}};
    }
    if (queue_.empty()) return {Kind::Idle, {}};
    Next next{Kind::Event, std::move(queue_.front())};
    queue_.pop_front();
    return next;
}

}  // namespace station
