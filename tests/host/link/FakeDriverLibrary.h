// FakeDriverLibrary: a scripted stand-in for the loaded driver library, recording every call in order.
// Answers come from a queue of response texts or, when a CommDriver is attached, from the real dispatch over a
// fake byte port, so the host tests see the same answers the DLL would give.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CommDriver.h"
#include "DriverLibrary.h"
#include "FakeBytePort.h"

struct FakeLibraryState {
    bool fileLoads = true;      // LoadLibraryA finds the file
    bool hasAllExports = true;  // load, request and unload are all there
    bool loadAnswers = true;
    bool releaseAnswers = true;
    bool loaded = false;        // the file is held
    std::vector<std::string> calls;     // "open <path>", "load", "request", "unload", "release"
    std::vector<std::string> requests;  // every request text, in order
    std::deque<std::string> answers;    // scripted answers; an empty queue answers from `driver`, else ""
    std::unique_ptr<CommDriver> driver;
    std::shared_ptr<FakeLineState> line;

    // Answers from the real request dispatch over a fake line.
    void attachDriver() {
        line = std::make_shared<FakeLineState>();
        driver = std::make_unique<CommDriver>([this]() -> std::unique_ptr<BytePort> {
            return std::make_unique<FakeBytePort>(line);
        });
    }
    int count(const std::string& call) const {
        int n = 0;
        for (const auto& c : calls) n += c == call;
        return n;
    }
};

class FakeDriverLibrary : public DriverLibrary {
public:
    explicit FakeDriverLibrary(std::shared_ptr<FakeLibraryState> state) : state_(std::move(state)) {}

    bool open(const std::string& path) override {
        state_->calls.push_back("open " + path);
        if (!state_->fileLoads) return false;
        state_->loaded = state_->hasAllExports;
        return state_->hasAllExports;
    }
    bool load() override {
        state_->calls.push_back("load");
        return state_->loadAnswers;
    }
    std::string request(const std::string& text) override {
        state_->calls.push_back("request");
        state_->requests.push_back(text);
        if (!state_->answers.empty()) {
            std::string answer = state_->answers.front();
            state_->answers.pop_front();
            return answer;
        }
        return state_->driver ? state_->driver->dispatch(text) : std::string();
    }
    void unload() override { state_->calls.push_back("unload"); }
    bool release() override {
        state_->calls.push_back("release");
        const bool was = state_->loaded;
        state_->loaded = false;
        return was && state_->releaseAnswers;
    }

private:
    std::shared_ptr<FakeLibraryState> state_;
};

// Response texts of the driver library.
namespace answers {
const std::string kOk = "COMM_LK207/1.0 200 OK\r\n\r\n";
const std::string kMemoryFailure = "COMM_LK207/1.0 401 Memory Failure\r\n\r\n";
inline std::string protocolError(const std::string& code) {
    return "COMM_LK207/1.0 403 Protcol Error\r\nArgument0: " + code + "\r\n\r\n";
}
inline std::string reply(const std::string& count, const std::string& base64) {
    return "COMM_LK207/1.0 200 OK\r\nArgument0: " + count + "\r\nArgument1: " + base64 + "\r\n\r\n";
}
}  // namespace answers
