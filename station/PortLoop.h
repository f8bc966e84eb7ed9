// PortLoop: one port of the station, from unit to unit: asks an idle port for the unit's status once a second, starts
// a download when a unit answers Disable (or when asked to), shows how it ended until that unit is unplugged, opens
// the port again by its name once a device is behind it, and checks its line between units when asked.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>

#include "BytePort.h"
#include "DoctorReport.h"
#include "FrameExchange.h"
#include "ImageFile.h"
#include "StationControl.h"
#include "UnitOutcome.h"

namespace station {
constexpr std::chrono::milliseconds kPollPeriod{1000};    // an idle port is asked for the unit's status this often
constexpr std::chrono::milliseconds kReopenPeriod{2000};  // a port whose device is gone is tried again this often
constexpr int kMissedPollsUnplugged = 3;                   // polls without a reply: the unit was unplugged
constexpr const char* kStoppingWords = "the station is stopping";  // a ready unit's status then
constexpr const char* kTranscriptFailedWords = "its transcript could not be written";

// Where a port is between units.
enum class PortState {
    Waiting,   // no unit answers
    Ready,     // a unit answers Disable and waits for "Flash" (manual mode)
    NotReady,  // a unit answers with another status: present, not started
    Flashing,  // a download runs
    Passed,    // the last download succeeded; shown until its unit is unplugged
    Failed,    // the last download failed; shown until its unit is unplugged or retried
    Gone,      // the port's device is gone (or cannot be opened); tried again every few seconds
};
const char* stateKey(PortState state);  // "waiting", "ready", "not_ready", "flashing", "passed", "failed", "gone"
// Every state, in the enum's order: a new state is added here too.
constexpr PortState kPortStates[] = {PortState::Waiting,  PortState::Ready,  PortState::NotReady, PortState::Flashing,
                                     PortState::Passed,   PortState::Failed, PortState::Gone};

// The image a download takes: its bytes as checked, with what the station shows and records of it, held together so
// that a record always names the image its download took, even one replaced as the download began.
struct StationImage {
    ImageLoad load;
    ImageInfo info;
};

// What a port's loop needs of the station.
class PortHost {
public:
    virtual ~PortHost() = default;
    virtual std::shared_ptr<const StationImage> currentImage() const = 0;  // null before the first image
    virtual bool manual() const = 0;
    // A download of `image` begins: its record, and the transcript file to keep ("" for none).
    virtual std::int64_t downloadStarted(const Tile& tile, const StationImage& image, std::string& transcriptPath) = 0;
    // The download's end: "" once it is on record, else what went wrong ("not on record: database or disk is full").
    virtual std::string downloadEnded(std::int64_t record, const UnitResult& result, const Tile& tile) = 0;
    virtual void tileChanged(const Tile& tile) = 0;
};

class PortLoop {
public:
    using LineMaker = std::function<std::unique_ptr<BytePort>()>;
    using DeviceOf = std::function<std::string(const std::string&)>;

    // `tile` shows the port (id, port, identity); `name` is what the port is opened by (a by-id name or any link, or
    // a device), and `deviceOf` tells the device that name leads to now: it is asked afresh at every opening and
    // before every poll, so a link that moved to another device is followed and a link that is gone is a port that
    // is gone. `makeLine` makes a new, unopened line.
    PortLoop(Tile tile, std::string name, std::uint32_t baud, LineMaker makeLine, DeviceOf deviceOf, PortHost& host);

    // One turn: open the line if needed, one status poll (or a whole download), and how long to wait before the next.
    std::chrono::milliseconds step();
    // Turns until `stop` is set, waiting between them with `wait` (which returns early when stopped).
    void run(const std::atomic<bool>& stop, const std::function<void(std::chrono::milliseconds)>& wait);

    // Requests from the page, taken at the next turn. False when the port is not in a state that takes them.
    bool requestStart();  // Ready or NotReady: flash this unit
    bool requestRetry();  // Failed: flash it again
    // A check of the line by status requests alone, as qbv-flash --doctor makes it, taken at the next turn: the
    // future gives its report, or nullopt when a download began first or the loop ended. Refused now (an invalid
    // future, with why) while a download runs, a check waits or the station stops.
    std::future<std::optional<DoctorPort>> requestCheck(int polls, std::string& why);
    // The station is stopping: no download begins any more (one running goes on); a unit that would be flashed
    // waits as ready, requests are refused, and a check ends after its request under way.
    void stopStarting() { noNewDownloads_ = true, checksEnd_ = true; }
    // A stop asked from outside ends a running download after its exchange under way, and every later one at once.
    void interrupt() { interrupted_ = true, checksEnd_ = true; }

    Tile tile() const;
    PortState state() const;

private:
    void setState(PortState state, const std::string& status = std::string());
    bool openPollingLine();
    void dropPollingLine();
    std::string deviceNow();  // the device the name leads to now, shown on the tile
    std::chrono::milliseconds afterPoll(const FrameReply& reply);
    void download();
    void check(int polls);
    void endCheck(std::optional<DoctorPort> report);  // a waiting check gets its answer
    void showEnd(const UnitResult& result, const std::string& note);
    void addNote(const std::string& note);
    void publish();

    std::string name_;
    std::uint32_t baud_;
    LineMaker makeLine_;
    DeviceOf deviceOf_;
    PortHost& host_;
    std::unique_ptr<FrameExchange> line_;  // the polling line while no download runs
    std::string lineDevice_;               // the device it was opened on
    int missedPolls_ = 0;
    std::atomic<bool> startRequested_{false};
    std::atomic<bool> interrupted_{false};
    std::atomic<bool> noNewDownloads_{false};
    std::atomic<bool> checksEnd_{false};

    std::mutex checkMutex_;  // guards the check asked for
    int checkPolls_ = 0;     // 0: none asked for
    bool loopEnded_ = false;
    std::optional<std::promise<std::optional<DoctorPort>>> checkAnswer_;

    mutable std::mutex mutex_;  // guards tile_ and state_: the page reads them from other threads
    Tile tile_;
    PortState state_ = PortState::Gone;
};
}  // namespace station
