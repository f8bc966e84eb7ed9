// SerialPort for Windows: the communications device opened for overlapped I/O, waited on so callers see it synchronous.
#include "SerialPort.h"

#include <windows.h>

#include <chrono>

namespace {

constexpr const char* kDevicePrefix = "\\\\.\\";

using Clock = std::chrono::steady_clock;

// True once more than the guard's whole seconds have passed since `start`.
bool guardExpired(Clock::time_point start) {
    const auto elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    return elapsedMs / 1000 > serial::kIncompleteGuardSeconds;
}

// The errors of a line whose device went away: an adapter pulled out, its driver gone, the handle no longer valid.
bool isGoneError(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_BAD_COMMAND || error == ERROR_INVALID_HANDLE ||
           error == ERROR_DEVICE_REMOVED || error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_GEN_FAILURE ||
           error == ERROR_FILE_NOT_FOUND;
}

HANDLE makeManualResetEvent() {
    return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

}  // namespace

struct SerialPort::Impl {
    HANDLE device = INVALID_HANDLE_VALUE;
    bool gone = false;
    OVERLAPPED readRequest{};
    OVERLAPPED writeRequest{};
    // Bytes that had already arrived when a read was made, taken in that one read and handed out one at a time.
    std::uint8_t readAhead[serial::kReadAheadBytes] = {};
    DWORD readAheadCount = 0;
    DWORD readAheadNext = 0;

    // The number of bytes waiting in the input queue; 0 when unknown.
    DWORD bytesWaiting() {
        DWORD errors = 0;
        COMSTAT status{};
        return ClearCommError(device, &errors, &status) ? status.cbInQue : 0;
    }

    void clearLineError() {
        DWORD errors = 0;
        COMSTAT status{};
        ClearCommError(device, &errors, &status);
    }

    enum class Wait { Completed, Failed, GuardExpired };

    // Waits for a pending overlapped request. A read time-out that the system reports as a failed
    // wait (rather than a completion without bytes) is a Failed wait like any other error.
    Wait waitFor(OVERLAPPED& request, Clock::time_point start, DWORD& transferred) {
        for (;;) {
            if (GetOverlappedResult(device, &request, &transferred, TRUE)) return Wait::Completed;
            if (GetLastError() != ERROR_IO_INCOMPLETE) return Wait::Failed;
            if (guardExpired(start)) {
                // The request must not outlive the caller's byte or frame: cancel it and let it settle.
                CancelIo(device);
                GetOverlappedResult(device, &request, &transferred, TRUE);
                return Wait::GuardExpired;
            }
            Sleep(serial::kIncompleteRetrySleepMs);
        }
    }

    void closeHandles() {
        if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
        if (readRequest.hEvent != nullptr) CloseHandle(readRequest.hEvent);
        if (writeRequest.hEvent != nullptr) CloseHandle(writeRequest.hEvent);
        device = INVALID_HANDLE_VALUE;
        readRequest.hEvent = nullptr;
        writeRequest.hEvent = nullptr;
    }
};

SerialPort::SerialPort(std::string) : impl_(std::make_unique<Impl>()) {}

SerialPort::~SerialPort() {
    impl_->closeHandles();
}

std::string serial::devicePathOf(const std::string& portName) { return kDevicePrefix + portName; }

bool SerialPort::open(const std::string& portName, std::uint32_t baudRate, std::uint8_t dataBits) {
    Impl& p = *impl_;
    p.gone = false;
    const std::string path = serial::devicePathOf(portName);
    p.device = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (p.device == INVALID_HANDLE_VALUE) return false;

    // The device may refuse a setting (an unsupported baud rate, DTR on a virtual line): that does not fail the open.
    SetCommMask(p.device, EV_RXCHAR);
    SetupComm(p.device, serial::kQueueSize, serial::kQueueSize);
    PurgeComm(p.device, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);

    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = serial::kReadIntervalTimeoutMs;
    timeouts.ReadTotalTimeoutMultiplier = serial::kReadTotalTimeoutMultiplierMs;
    timeouts.ReadTotalTimeoutConstant = serial::kReadTotalTimeoutConstantMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    SetCommTimeouts(p.device, &timeouts);

    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    GetCommState(p.device, &dcb);
    dcb.BaudRate = baudRate;
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.ByteSize = dataBits;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = ONESTOPBIT;
    SetCommState(p.device, &dcb);

    EscapeCommFunction(p.device, SETDTR);
    EscapeCommFunction(p.device, SETRTS);

    p.readRequest = OVERLAPPED{};
    p.readRequest.hEvent = makeManualResetEvent();
    if (p.readRequest.hEvent == nullptr) return false;
    p.writeRequest = OVERLAPPED{};
    p.writeRequest.hEvent = makeManualResetEvent();
    if (p.writeRequest.hEvent == nullptr) {
        CloseHandle(p.readRequest.hEvent);
        p.readRequest.hEvent = nullptr;
        return false;
    }
    return true;
}

bool SerialPort::readByte(std::uint8_t& byte) {
    Impl& p = *impl_;
    if (p.readAheadNext < p.readAheadCount) {
        byte = p.readAhead[p.readAheadNext++];
        return true;
    }
    if (p.gone) return false;
    // One byte with the read limit; when more have arrived already, all of them at once (they complete at once,
    // so every byte still has the same limit as if it were read alone).
    const Clock::time_point start = Clock::now();
    const DWORD waiting = p.bytesWaiting();
    const DWORD ask = waiting > 1 ? (waiting < serial::kReadAheadBytes ? waiting : serial::kReadAheadBytes) : 1;
    DWORD transferred = 0;
    bool completed = ReadFile(p.device, p.readAhead, ask, &transferred, &p.readRequest) != FALSE;
    if (!completed && GetLastError() == ERROR_IO_PENDING) {
        const Impl::Wait wait = p.waitFor(p.readRequest, start, transferred);
        if (wait == Impl::Wait::GuardExpired) return false;
        completed = wait == Impl::Wait::Completed;
    }
    if (!completed && p.device != INVALID_HANDLE_VALUE && isGoneError(GetLastError())) p.gone = true;
    if (completed && transferred >= 1 && transferred <= ask) {
        byte = p.readAhead[0];
        p.readAheadCount = transferred;
        p.readAheadNext = 1;
        return true;
    }
    p.readAheadCount = p.readAheadNext = 0;
    p.clearLineError();  // a time-out without a byte, a line error or a failed wait
    return false;
}

bool SerialPort::writeBytes(const std::uint8_t* bytes, std::uint32_t count) {
    Impl& p = *impl_;
    if (p.gone) return false;
    const Clock::time_point start = Clock::now();
    p.clearLineError();
    DWORD transferred = 0;
    if (WriteFile(p.device, bytes, count, &transferred, &p.writeRequest)) return true;
    if (GetLastError() == ERROR_IO_PENDING) {
        if (p.waitFor(p.writeRequest, start, transferred) == Impl::Wait::Completed) return true;
        p.gone = isGoneError(GetLastError());
        return false;
    }
    p.gone = p.device != INVALID_HANDLE_VALUE && isGoneError(GetLastError());  // a line never opened is not gone
    p.clearLineError();
    return false;
}

bool SerialPort::gone() const { return impl_->gone; }

// Windows keeps an adapter's latency timer in its driver's settings: opening changes nothing beyond the line's settings.
std::string SerialPort::openNote() const { return std::string(); }

void SerialPort::close() {
    Impl& p = *impl_;
    EscapeCommFunction(p.device, CLRDTR);
    EscapeCommFunction(p.device, CLRRTS);
    p.closeHandles();
}
