// WebEvents: hands every tile change to each open event stream without waiting on any of them: the station's threads
// only queue a copy of the tile, each stream turns its own queue into text on its own connection's thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "StationControl.h"

namespace station {

class WebEvents : public std::enable_shared_from_this<WebEvents> {
public:
    enum class Kind {
        Event,   // tile holds the next change
        Resync,  // the stream fell too far behind and lost events: send a fresh snapshot instead
        Idle,    // nothing happened within the wait
        Closed,  // the server stops: end the stream
    };
    struct Next {
        Kind kind;
        Tile tile;
    };

    // One connection's queue; leaves the hub when dropped.
    class Stream {
    public:
        explicit Stream(std::shared_ptr<WebEvents> hub) : hub_(std::move(hub)) {}
        ~Stream();
        Stream(const Stream&) = delete;
        Stream& operator=(const Stream&) = delete;
        Next next(std::chrono::milliseconds wait);

    private:
        friend class WebEvents;
        std::shared_ptr<WebEvents> hub_;
        std::deque<Tile> queue_;
        bool lostEvents_ = false;
        std::condition_variable wake_;
    };

    static std::shared_ptr<WebEvents> create(std::size_t maxStreams, std::size_t maxQueued);
    // nullptr when maxStreams are open or the hub is closed.
    std::shared_ptr<Stream> open();
    // Queues the change for every open stream; never blocks on a client.
    void publish(const Tile& tile);
    // Every stream's next() answers Closed from now on; open() answers nullptr.
    void close();

private:
    WebEvents(std::size_t maxStreams, std::size_t maxQueued) : maxStreams_(maxStreams), maxQueued_(maxQueued) {}

    const std::size_t maxStreams_;
    const std::size_t maxQueued_;
    std::mutex mutex_;
    std::vector<Stream*> streams_;
    bool closed_ = false;
};

}  // namespace station
