// FrameLog: a transcript of one unit's line for support cases: every frame both ways with its time and meaning.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "BytePort.h"

// One line per event: "<seconds since start, 6 decimals> <TX|RX|OPEN|CLOSE> <hex bytes>  <meaning>".
class FrameLog {
public:
    FrameLog() = default;
    ~FrameLog();
    FrameLog(const FrameLog&) = delete;
    FrameLog& operator=(const FrameLog&) = delete;

    bool open(const std::string& path);
    bool isOpen() const { return file_ != nullptr; }
    bool writeFailed() const { return writeFailed_; }  // a line could not be written (a full disk): it is incomplete
    void write(const char* direction, const std::vector<std::uint8_t>& bytes, const std::string& meaning);

private:
    std::FILE* file_ = nullptr;
    bool writeFailed_ = false;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// What a command frame the tool sends means ("StatusRequest", "DownloadData offset 492, 246 bytes", ...).
std::string describeCommand(const std::vector<std::uint8_t>& frame);
// What the bytes the unit sent mean: the status it reports, or why they are not a frame.
std::string describeReply(const std::vector<std::uint8_t>& bytes);

// A byte port that writes every frame it carries to a FrameLog: each write is one command frame; the bytes read
// between two writes are the unit's reply, logged once it is complete, a read fails, or the next write begins.
class LoggingBytePort : public BytePort {
public:
    LoggingBytePort(std::unique_ptr<BytePort> line, std::shared_ptr<FrameLog> log)
        : line_(std::move(line)), log_(std::move(log)) {}

    bool open(const std::string& portName, std::uint32_t baudRate, std::uint8_t dataBits) override;
    bool readByte(std::uint8_t& byte) override;
    bool writeBytes(const std::uint8_t* bytes, std::uint32_t count) override;
    void close() override;
    bool gone() const override { return line_->gone(); }
    std::string openNote() const override { return line_->openNote(); }

private:
    void flushReceived(const char* note);

    std::unique_ptr<BytePort> line_;
    std::shared_ptr<FrameLog> log_;
    std::vector<std::uint8_t> received_;
};
