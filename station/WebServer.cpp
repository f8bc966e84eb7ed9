// WebServer: the page's and the API's routes on cpp-httplib; every POST passes the token check before it acts.
#include "WebServer.h"

#include <httplib.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <regex>

#include "DoctorReport.h"
#include "ReleaseSignature.h"
#include "WebEvents.h"
#include "WebPage.h"

namespace station {
namespace {
using httplib::Request;
using httplib::Response;
using Routed = httplib::Server::HandlerResponse;

constexpr int kBadRequest = 400;
constexpr int kNotFound = 404;
constexpr int kConflict = 409;
constexpr int kLengthRequired = 411;
constexpr int kPayloadTooLarge = 413;
constexpr int kUnprocessable = 422;
constexpr int kServerError = 500;
constexpr int kUnavailable = 503;

constexpr std::size_t kWorkerThreads = kMaxEventStreams + 8;  // each open page holds one for its event stream
constexpr std::size_t kFormBytesMax = 64 * 1024;              // the largest body of a POST other than an image
constexpr std::size_t kImageNameCharsMax = 255;
constexpr time_t kIdleConnectionSeconds = 2;        // an idle browser connection holds a thread; stop() waits for it
constexpr std::chrono::milliseconds kStartWait{1};  // between looks at whether the listener runs
constexpr int kStartLooksMax = 5000;                // so at most about 5 s
constexpr int kEventRetryMs = 2000;                 // how soon a page's EventSource reconnects

constexpr const char* kTokenHeader = "X-Station-Token";
constexpr const char* kTokenField = "token";
constexpr const char* kImageNameHeader = "X-Image-Name";
constexpr const char* kImageSignatureHeader = "X-Image-Signature";  // the .minisig file's text in base64
constexpr const char* kImagePath = "/api/image";
constexpr const char* kJson = "application/json";
constexpr const char* kText = "text/plain; charset=utf-8";
constexpr const char* kEventStream = "text/event-stream";
constexpr const char* kKeepAliveComment = ": keep-alive\n\n";
constexpr const char* kSqliteFile = "application/vnd.sqlite3";
constexpr std::size_t kFileChunkBytes = 64 * 1024;  // a served file is read and sent this much at a time

std::string dumpJson(const nlohmann::json& value) {
    // Port names and the unit's words come from outside: a stray byte is replaced, never a thrown exception.
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::json tileJson(const Tile& t) {
    return {{"id", t.id},
            {"port", t.port},
            {"device", t.device},
            {"adapter_serial", t.adapterSerial},
            {"identity", t.identity},
            {"state", t.state},
            {"status", t.status},
            {"blocks_done", t.blocksDone},
            {"blocks_total", t.blocksTotal},
            {"kb_per_second", t.kbPerSecond},
            {"eta_seconds", t.etaSeconds},
            {"outcome", t.outcome},
            {"message", t.message},
            {"state_number", t.stateNumber},
            {"unit_crc", t.unitCrc},
            {"file_crc", t.fileCrc}};
}

nlohmann::json imageJson(const ImageInfo& image) {
    return {{"name", image.name},
            {"bytes", image.bytes},
            {"blocks", image.blocks},
            {"file_crc", image.fileCrc},
            {"sha256", image.sha256},
            {"signature_required", image.signatureRequired},
            {"key_id", image.keyId},
            {"trusted_comment", image.trustedComment}};
}

std::string sseEvent(const char* name, const std::string& data) {
    return std::string("event: ") + name + "\ndata: " + data + "\n\n";
}

void replyWords(Response& response, int status, const std::string& words) {
    response.status = status;
    response.set_content(words, kText);
}

void replyJson(Response& response, const nlohmann::json& value) { response.set_content(dumpJson(value), kJson); }

// Answers without reading the request's body, then closes the connection: a body left unread must never be taken for
// the next request. cpp-httplib closes a connection whose content provider returns false after writing it all.
void replyAndClose(Response& response, const Refusal& refusal) {
    auto words = std::make_shared<std::string>(refusal.words);
    response.status = refusal.status;
    response.set_header("Connection", "close");
    auto writeAllThenClose = [words](std::size_t offset, std::size_t, httplib::DataSink& sink) {
        sink.write(words->data() + offset, words->size() - offset);
        return false;
    };
    response.set_content_provider(words->size(), kText, writeAllThenClose);
}

// A form field from the query, a url-encoded body or a multipart body; "" when absent.
std::string formField(const Request& request, const char* name) {
    if (request.has_param(name)) return request.get_param_value(name);
    if (request.has_file(name)) return request.get_file_value(name).content;
    return "";
}

PostCredentials credentialsOf(const Request& request) {
    const std::string header = request.get_header_value(kTokenHeader);
    return {header.empty() ? formField(request, kTokenField) : header, request.get_header_value("Origin"),
            request.get_header_value("Host")};
}

std::optional<std::uint64_t> parseLength(const std::string& text) {
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
    return value;
}

// The name the upload gives its image, as a plain name: no folders, no control characters.
std::string imageNameOf(const Request& request) {
    std::string name = request.has_header(kImageNameHeader)
                           ? httplib::detail::decode_url(request.get_header_value(kImageNameHeader), false)
                           : request.get_param_value("name");
    const std::size_t slash = name.find_last_of("/\\");
    if (slash != std::string::npos) name.erase(0, slash + 1);
    std::string plain;
    for (char c : name) {
        if (static_cast<unsigned char>(c) >= ' ' && c != 0x7f) plain += c;
    }
    return plain.substr(0, kImageNameCharsMax);
}

// "manual=true" from a form field or a plain body; "" when neither says it.
// A field of a POST: in the URL's query, a multipart form, or a url-encoded body.
std::string postFieldOf(const Request& request, const char* name) {
    std::string value = formField(request, name);
    if (!value.empty()) return value;
    httplib::Params fields;
    httplib::detail::parse_query_text(request.body, fields);
    const auto field = fields.find(name);
    return field == fields.end() ? "" : field->second;
}

// The status requests a check sends: the field "polls", 1 to doctor::kMaxPolls, else the doctor's default.
std::optional<int> checkPollsOf(const Request& request) {
    const std::string text = postFieldOf(request, "polls");
    if (text.empty()) return doctor::kDefaultPolls;
    const std::optional<std::uint64_t> polls = parseLength(text);
    if (!polls || *polls < 1 || *polls > static_cast<std::uint64_t>(doctor::kMaxPolls)) return std::nullopt;
    return static_cast<int>(*polls);
}

std::optional<HistoryQuery> historyQueryOf(const Request& request) {
    static const std::regex kDay(R"(\d{4}-\d{2}-\d{2})");
    HistoryQuery query{request.get_param_value("day"), request.get_param_value("port"),
                       request.get_param_value("outcome")};
    if (!query.day.empty() && !std::regex_match(query.day, kDay)) return std::nullopt;
    return query;
}

// Sends a file the server made for this response and removes it once the response is over, sent whole or not.
void replyFileThenRemove(Response& response, const std::string& path, const char* contentType) {
    auto in = std::make_shared<std::ifstream>(path, std::ios::binary);
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (!*in || error) {
        std::filesystem::remove(path, error);
        return replyWords(response, kServerError, "the file made for this answer cannot be read");
    }
    auto send = [in](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
        std::array<char, kFileChunkBytes> chunk;
        in->seekg(static_cast<std::streamoff>(offset));
        in->read(chunk.data(), static_cast<std::streamsize>(std::min(length, chunk.size())));
        return in->gcount() > 0 && sink.write(chunk.data(), static_cast<std::size_t>(in->gcount()));
    };
    auto remove = [in, path](bool) {
        in->close();
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    };
    response.set_content_provider(static_cast<std::size_t>(size), contentType, send, remove);
}

std::optional<Tile> findTile(const StationControl& control, const std::string& id) {
    for (auto& tile : control.tiles()) {
        if (tile.id == id) return tile;
    }
    return std::nullopt;
}
}  // namespace

WebServer::WebServer(StationControl& control, std::string address, int port, std::string token, const TlsFiles& tls)
    : control_(control),
      address_(std::move(address)),
      requestedPort_(port),
      token_(std::move(token)),
      events_(WebEvents::create(kMaxEventStreams, kMaxQueuedEvents)),
      server_(tls.certificate.empty()
                  ? std::make_unique<httplib::Server>()
                  : std::make_unique<httplib::SSLServer>(tls.certificate.c_str(), tls.key.c_str())) {
    server_->new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
    server_->set_keep_alive_timeout(kIdleConnectionSeconds);
    server_->set_payload_max_length(std::max<std::uint64_t>(kFormBytesMax, control_.largestImageBytes()));
    server_->set_default_headers({{"X-Content-Type-Options", "nosniff"},
                                  {"Cache-Control", "no-store"},
                                  {"Referrer-Policy", "no-referrer"},
                                  {"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'"}});
    server_->set_exception_handler([](const Request&, Response& response, std::exception_ptr thrown) {
        try {
            std::rethrow_exception(thrown);
        } catch (const std::exception& e) {
            replyWords(response, kServerError, e.what());
        } catch (...) {
            replyWords(response, kServerError, "internal error");
        }
    });
    control_.onTileChanged([events = events_](const Tile& tile) { events->publish(tile); });
    routeReads();
    routeChanges();
    routeImage();
    routePages();
}

WebServer::~WebServer() { stop(); }

std::string WebServer::start() {
    if (!server_->is_valid()) return "cannot serve over TLS: the certificate or its key cannot be read, or they differ";
    boundPort_ = requestedPort_ == 0 ? server_->bind_to_any_port(address_)
                                     : (server_->bind_to_port(address_, requestedPort_) ? requestedPort_ : -1);
    if (boundPort_ <= 0) {
        return "cannot listen on " + address_ + ":" + std::to_string(requestedPort_) +
               " (the port is taken, or the address is not one of this machine's)";
    }
    listener_ = std::thread([this] { server_->listen_after_bind(); });
    // stop() only reaches a server that runs: wait for it.
    for (int look = 0; look < kStartLooksMax && !server_->is_running(); ++look) std::this_thread::sleep_for(kStartWait);
    return "";
}

void WebServer::stop() {
    events_->close();
    if (!listener_.joinable()) return;
    server_->stop();
    listener_.join();
}

std::string WebServer::portsJson() const {
    nlohmann::json ports = nlohmann::json::array();
    for (const auto& tile : control_.tiles()) ports.push_back(tileJson(tile));
    return dumpJson({{"image", imageJson(control_.image())},
                     {"manual", control_.manual()},
                     {"largest_image_bytes", control_.largestImageBytes()},
                     {"ports", ports}});
}

void WebServer::routePages() {
    server_->Get(R"(/[A-Za-z0-9_.-]*)", [](const Request& request, Response& response) {
        const auto asset = webAsset(request.path);
        if (!asset) return replyWords(response, kNotFound, "no page " + request.path);
        response.set_content(asset->body.data(), asset->body.size(), asset->contentType);
    });
}

void WebServer::routeReads() {
    server_->Get("/api/ports", [this](const Request&, Response& response) {
        response.set_content(portsJson(), kJson);
    });
    server_->Get("/api/events", [this](const Request&, Response& response) { serveEvents(response); });
    server_->Get("/api/history", [this](const Request& request, Response& response) {
        const auto query = historyQueryOf(request);
        if (!query) return replyWords(response, kBadRequest, "day must be YYYY-MM-DD");
        response.set_content(control_.historyJson(*query), kJson);
    });
    server_->Get(R"(/api/history\.csv)", [this](const Request& request, Response& response) {
        const auto query = historyQueryOf(request);
        if (!query) return replyWords(response, kBadRequest, "day must be YYYY-MM-DD");
        const std::string file = query->day.empty() ? "station-history.csv" : "station-history-" + query->day + ".csv";
        response.set_header("Content-Disposition", "attachment; filename=\"" + file + "\"");
        response.set_content(control_.historyCsv(*query), "text/csv; charset=utf-8");
    });
    server_->Get("/api/counts", [this](const Request&, Response& response) {
        replyJson(response, control_.todayCounts());
    });
    server_->Get(R"(/api/history\.sqlite3)", [this](const Request&, Response& response) {
        std::string why;
        const std::optional<std::string> copy = control_.copyHistory(why);
        if (!copy) return replyWords(response, kServerError, "the history could not be copied: " + why);
        response.set_header("Content-Disposition", "attachment; filename=\"station-history.sqlite3\"");
        replyFileThenRemove(response, *copy, kSqliteFile);
    });
    server_->Get("/metrics", [this](const Request&, Response& response) {
        response.set_content(metricsText(control_.metricFigures()), kMetricsContentType);
    });
}

template <class Handler>
void WebServer::routePost(const char* pattern, Handler handler) {
    server_->Post(pattern, [this, handler](const Request& request, Response& response) {
        if (const auto refusal = refusePost(credentialsOf(request), token_)) {
            return replyWords(response, refusal->status, refusal->words);
        }
        handler(request, response);
    });
}

void WebServer::routeChanges() {
    routePost("/api/start", [this](const Request&, Response& response) {
        replyJson(response, {{"started", control_.startAll()}});
    });
    routePost(R"(/api/ports/([A-Za-z0-9_-]+)/(start|retry))", [this](const Request& request, Response& response) {
        const std::string id = request.matches[1];
        const bool retry = request.matches[2] == "retry";
        const auto tile = findTile(control_, id);
        if (!tile) return replyWords(response, kNotFound, "no port " + id);
        if (retry ? control_.retry(id) : control_.start(id)) return replyJson(response, {{"id", id}});
        replyWords(response, kConflict, retry ? tile->port + " has no failed unit" : "no unit waits on " + tile->port);
    });
    // A check takes the port from its loop while it runs, so it is asked for like a download: by a POST.
    routePost(R"(/api/ports/([A-Za-z0-9_-]+)/doctor)", [this](const Request& request, Response& response) {
        const std::string id = request.matches[1];
        const std::optional<int> polls = checkPollsOf(request);
        if (!polls) {
            return replyWords(response, kBadRequest, "polls: a whole number from 1 to " + std::to_string(doctor::kMaxPolls));
        }
        const PortCheck check = control_.checkPort(id, *polls);
        switch (check.result) {
            case PortCheck::Result::Done: return replyJson(response, check.report);
            case PortCheck::Result::NoSuchPort: return replyWords(response, kNotFound, "no port " + id);
            case PortCheck::Result::Refused: return replyWords(response, kConflict, check.why);
        }
    });
    routePost("/api/mode", [this](const Request& request, Response& response) {
        const std::string manual = postFieldOf(request, "manual");
        if (manual != "true" && manual != "false") {
            return replyWords(response, kBadRequest, "manual=true or manual=false");
        }
        control_.setManual(manual == "true");
        replyJson(response, {{"manual", control_.manual()}});
    });
}

std::optional<Refusal> WebServer::refuseBeforeBody(const Request& request) const {
    if (request.method != "POST") return std::nullopt;
    const bool chunked = request.get_header_value("Transfer-Encoding") == "chunked";
    if (!request.has_header("Content-Length") && !chunked) {
        return Refusal{kLengthRequired, "a POST needs a Content-Length (curl: -d '')"};
    }
    if (request.path != kImagePath) return std::nullopt;
    if (auto refusal = refusePost(credentialsOf(request), token_)) return refusal;
    if (imageNameOf(request).empty()) return Refusal{kBadRequest, "name the image: header X-Image-Name or ?name="};
    if (chunked) return Refusal{kLengthRequired, "the image needs a Content-Length"};
    const auto length = parseLength(request.get_header_value("Content-Length"));
    if (!length) return Refusal{kBadRequest, "the Content-Length is not a number"};
    const std::uint64_t largest = control_.largestImageBytes();
    if (*length > largest) {
        return Refusal{kPayloadTooLarge, "the file has " + std::to_string(*length) +
                                             " bytes, more than the largest image (" + std::to_string(largest) + ")"};
    }
    return std::nullopt;
}

void WebServer::routeImage() {
    // Both run once the headers are in and before the body is read: a POST refused there is never read.
    server_->set_pre_routing_handler([this](const Request& request, Response& response) {
        const auto refusal = refuseBeforeBody(request);
        if (!refusal) return Routed::Unhandled;
        replyAndClose(response, *refusal);
        return Routed::Handled;
    });
    server_->set_expect_100_continue_handler([this](const Request& request, Response& response) {
        const auto refusal = refuseBeforeBody(request);
        if (!refusal) return 100;
        replyAndClose(response, *refusal);
        return refusal->status;
    });
    routePost(kImagePath, [this](const Request& request, Response& response) {
        std::optional<std::string> signature;
        if (request.has_header(kImageSignatureHeader)) {
            signature = trust::decodeBase64Text(request.get_header_value(kImageSignatureHeader));
            if (!signature) return replyWords(response, kBadRequest, "the X-Image-Signature header is not base64");
        }
        const std::string refused = control_.replaceImage(imageNameOf(request), request.body, signature);
        if (!refused.empty()) return replyWords(response, kUnprocessable, refused);
        replyJson(response, imageJson(control_.image()));
    });
}

void WebServer::serveEvents(Response& response) {
    auto stream = events_->open();
    if (!stream) return replyWords(response, kUnavailable, "too many pages are open on this station");
    auto snapshot = [this] { return sseEvent("snapshot", portsJson()); };
    response.set_chunked_content_provider(
        kEventStream, [stream, snapshot, opened = false](std::size_t, httplib::DataSink& sink) mutable {
            std::string text;
            if (!opened) {
                opened = true;
                text = "retry: " + std::to_string(kEventRetryMs) + "\n" + snapshot();
            } else {
                auto next = stream->next(kEventKeepAlive);
                switch (next.kind) {
                    case WebEvents::Kind::Closed: sink.done(); return true;
                    case WebEvents::Kind::Resync: text = snapshot(); break;
                    case WebEvents::Kind::Event: text = sseEvent("tile", dumpJson(tileJson(next.tile))); break;
                    case WebEvents::Kind::Idle: text = kKeepAliveComment; break;
                }
            }
            return sink.write(text.data(), text.size());  // false once the page has gone: the stream ends
        });
}

}  // namespace station
