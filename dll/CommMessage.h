// CommMessage: the "COMM_LK207/1.0" request and response text, a first line plus ordered header lines.
#pragma once

#include <map>
#include <string>

namespace comm {
constexpr const char* kProtocolToken = "COMM_LK207/1.0";
constexpr const char* kStatusOk = "COMM_LK207/1.0 200 OK";
constexpr const char* kStatusMemoryFailure = "COMM_LK207/1.0 401 Memory Failure";
constexpr const char* kStatusProtocolError = "COMM_LK207/1.0 403 Protcol Error";
constexpr const char* kMethod = "Method";
constexpr const char* kArgument0 = "Argument0";
constexpr const char* kArgument1 = "Argument1";
constexpr const char* kArgument2 = "Argument2";
constexpr const char* kResultCode = "ResultCode";
constexpr const char* kResultMessage = "ResultMessage";
constexpr const char* kMethodOpen = "Open";
constexpr const char* kMethodClose = "Close";
constexpr const char* kMethodCommand = "Command";
constexpr const char* kCodeOk = "200";
constexpr const char* kCodeMemoryFailure = "401";
constexpr const char* kCodeProtocolError = "403";
}  // namespace comm

class CommMessage {
public:
    CommMessage() = default;
    explicit CommMessage(std::string firstLine) : firstLine(std::move(firstLine)) {}

    // The value stored under `name`; an absent name is inserted with an empty value first.
    std::string& header(const std::string& name) { return headers[name]; }

    // First line, CR LF, one "name: value" CR LF line per non-empty header in byte order of the names, CR LF.
    std::string serialize() const;

    // Fills the fields from a text; never fails (what is missing stays absent). Called once, on an empty message.
    void parse(const std::string& text);

    std::string firstLine;
    std::map<std::string, std::string> headers;  // std::string orders names byte-wise, bytes as unsigned
    std::string protocolName;
    std::string protocolVersion;
};
