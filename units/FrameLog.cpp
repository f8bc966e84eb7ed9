// FrameLog: timestamped lines of hex bytes with the command or status they carry.
#include "FrameLog.h"

#include <cstdio>

#include "Crc16.h"
#include "TextCodec.h"
#include "UnitCommands.h"

namespace {
constexpr unsigned kBitsPerByte = 8;

// The index of the first sync byte, or the size when there is none.
std::size_t syncIndex(const std::vector<std::uint8_t>& bytes) {
    std::size_t i = 0;
    while (i < bytes.size() && bytes[i] != unit::kSync) ++i;
    return i;
}

// True when a whole frame (sync, length and `length` bytes in all) lies at `at`.
bool holdsFrame(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    if (bytes.size() <= at + unit::kLengthIndex) return false;
    const std::size_t length = bytes[at + unit::kLengthIndex];
    return length >= unit::kCheckBytes + unit::kLengthIndex + 1 && bytes.size() - at >= length;
}

bool checkBytesMatch(const std::uint8_t* frame, std::size_t length) {
    const std::size_t payload = length - unit::kCheckBytes;
    Crc16 crc;
    crc.update(frame, payload);
    return frame[payload] == crc.low() && frame[payload + 1] == crc.high();
}

std::string statusName(const std::uint8_t* frame, std::size_t length) {
    const std::uint8_t code = frame[unit::kCodeIndex];
    const bool flagSet = length > unit::kFlagIndex + unit::kCheckBytes && frame[unit::kFlagIndex] == unit::kFlagSet;
    switch (code) {
        case unit::kStatusDisable: return "Disable";
        case unit::kStatusReset: return "Reset";
        case unit::kStatusAck: return "Ack";
        case unit::kStatusDownloadMode: return flagSet ? "Busy" : "Ready";
        case unit::kStatusDownloadResult: {
            std::string text = flagSet ? "Result flagged" : "Result good";
            if (length > unit::kCrcHighIndex + unit::kCheckBytes) {
                text += " CRC:" + hexWord(static_cast<std::uint16_t>(frame[unit::kCrcHighIndex] << kBitsPerByte |
                                                                  frame[unit::kCrcLowIndex]));
            }
            return text;
        }
        default: return "status " + hexWord(code).substr(2);
    }
}
}  // namespace

FrameLog::~FrameLog() {
    if (file_ != nullptr) std::fclose(file_);
}

bool FrameLog::open(const std::string& path) {
    file_ = std::fopen(path.c_str(), "w");
    start_ = std::chrono::steady_clock::now();
    return file_ != nullptr;
}

void FrameLog::write(const char* direction, const std::vector<std::uint8_t>& bytes, const std::string& meaning) {
    if (file_ == nullptr) return;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::fprintf(file_, "%.6f %s", seconds, direction);
    for (const std::uint8_t b : bytes) std::fprintf(file_, " %02X", b);
    std::fprintf(file_, "%s%s\n", meaning.empty() ? "" : "  ", meaning.c_str());
    if (std::fflush(file_) != 0 || std::ferror(file_) != 0) writeFailed_ = true;
}

std::string describeCommand(const std::vector<std::uint8_t>& frame) {
    if (frame.size() <= unit::kCodeIndex) return "not a frame";
    switch (static_cast<UnitCommand>(frame[unit::kCodeIndex])) {
        case UnitCommand::StatusRequest: return "StatusRequest";
        case UnitCommand::DownloadStart: return "DownloadStart";
        case UnitCommand::DownloadEnd: return "DownloadEnd";
        case UnitCommand::Ack: return "Ack";
        case UnitCommand::DownloadData: {
            std::uint32_t offset = 0;
            if (frame.size() < unit::kDataFrameOverhead || !dataFrameOffset(frame.data(), frame.size(), offset)) {
                return "DownloadData";
            }
            return "DownloadData offset " + std::to_string(offset) + ", " +
                   std::to_string(frame.size() - unit::kDataFrameOverhead) + " bytes";
        }
    }
    return "command " + hexWord(frame[unit::kCodeIndex]).substr(2);
}

std::string describeReply(const std::vector<std::uint8_t>& bytes) {
    const std::size_t at = syncIndex(bytes);
    if (!holdsFrame(bytes, at)) return bytes.empty() ? "nothing" : "incomplete";
    const std::size_t length = bytes[at + unit::kLengthIndex];
    std::string text = statusName(bytes.data() + at, length);
    if (!checkBytesMatch(bytes.data() + at, length)) text += ", wrong check bytes";
    if (at > 0) text += ", after " + std::to_string(at) + " other bytes";
    return text;
}

bool LoggingBytePort::open(const std::string& portName, std::uint32_t baudRate, std::uint8_t dataBits) {
    const bool opened = line_->open(portName, baudRate, dataBits);
    const std::string note = opened ? line_->openNote() : std::string();
    log_->write("OPEN", {}, portName + " " + std::to_string(baudRate) + (opened ? "" : " failed") +
                                (note.empty() ? "" : "; " + note));
    return opened;
}

bool LoggingBytePort::readByte(std::uint8_t& byte) {
    if (!line_->readByte(byte)) {
        flushReceived("no further byte in time");
        return false;
    }
    received_.push_back(byte);
    if (holdsFrame(received_, syncIndex(received_))) flushReceived("");
    return true;
}

bool LoggingBytePort::writeBytes(const std::uint8_t* bytes, std::uint32_t count) {
    flushReceived("");
    const std::vector<std::uint8_t> frame(bytes, bytes + count);
    const bool written = line_->writeBytes(bytes, count);
    log_->write("TX", frame, describeCommand(frame) + (written ? "" : ", write failed"));
    return written;
}

void LoggingBytePort::close() {
    flushReceived("");
    line_->close();
    log_->write("CLOSE", {}, "");
}

void LoggingBytePort::flushReceived(const char* note) {
    if (received_.empty() && *note == '\0') return;
    std::string meaning = describeReply(received_);
    if (*note != '\0') meaning += std::string(", ") + note;
    log_->write("RX", received_, meaning);
    received_.clear();
}
