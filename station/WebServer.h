// WebServer: the station's web side: the page, its JSON API and the tiles' live events over HTTP, on a StationControl.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "StationControl.h"
#include "WebAccess.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace station {

class WebEvents;

struct TlsFiles {
    std::string certificate;  // PEM; "" for plain HTTP
    std::string key;
};

constexpr const char* kDefaultListenAddress = "127.0.0.1";
constexpr std::chrono::seconds kEventKeepAlive{15};  // a comment line on an idle event stream
constexpr std::size_t kMaxEventStreams = 16;         // open pages at once; one more is answered 503
constexpr std::size_t kMaxQueuedEvents = 256;        // per stream; past it the stream gets a fresh snapshot

class WebServer {
public:
    // Serves on address:port (port 0: any free one) once started. With a token, every POST must carry it. With a
    // certificate and its key (PEM files), over TLS only.
    WebServer(StationControl& control, std::string address, int port, std::string token, const TlsFiles& tls = {});
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Binds and serves on a thread of its own: "" when listening, else why not.
    std::string start();
    // The port it listens on, once started.
    int port() const { return boundPort_; }
    // Ends every event stream and stops serving; waits for the server's threads.
    void stop();

private:
    void routePages();
    void routeReads();
    void routeChanges();
    void routeImage();
    template <class Handler>
    void routePost(const char* pattern, Handler handler);
    // Why a POST is refused from its headers alone, before its body is read; nullopt to read on.
    std::optional<Refusal> refuseBeforeBody(const httplib::Request& request) const;
    void serveEvents(httplib::Response& response);
    std::string portsJson() const;

    StationControl& control_;
    const std::string address_;
    const int requestedPort_;
    const std::string token_;
    int boundPort_ = 0;
    std::shared_ptr<WebEvents> events_;
    std::unique_ptr<httplib::Server> server_;
    std::thread listener_;
};

}  // namespace station
