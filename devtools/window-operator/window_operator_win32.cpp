// window-operator (Windows only): the demo's and the benchmark's download through the real window; not a test.
//   window-operator demo TOOL_EXE IMAGE PORT SNAPSHOT_FOLDER   screenshots under way and of the outcome box
//   window-operator bench TOOL_EXE IMAGE PORT BAUD             the time from Start to the outcome box
// Prints the outcome box; exits 0 when it tells of success and the window then closed as it should.
#include <cstdio>
#include <string>

#include "ExePath.h"
#include "WindowOperator_win32.h"

namespace {
constexpr const char* kSuccessFirstLine = "The target file was downloaded successfully";
constexpr int kExitAfterClose = 2;
constexpr LRESULT kSnapshotPart = 3;  // the screenshot under way: once a third of the blocks are sent

int fail(const char* what) {
    std::printf("FAIL: %s\n", what);
    return 1;
}

int run(const std::string& mode, const std::string& exe, const std::string& image, const std::string& port,
        const std::string& last) {
    const bool demo = mode == "demo";
    winop::Tool tool;
    if (!tool.start(exe, exepath::folderOf(exe))) return fail("the window did not show");
    if (!tool.select(winop::kPort, port) || (!demo && !tool.select(winop::kBaudrate, last))) {
        return fail("the port or baud rate cannot be selected");
    }
    if (!tool.browse(image) || !tool.waitText(winop::kFilePath, image)) return fail("the image is not loaded");
    const LRESULT blocks = tool.progressRange();
    bool underWay = false;
    const winop::Watched seen = tool.download([&](LRESULT progress) {
        if (demo && !underWay && progress >= blocks / kSnapshotPart) {
            underWay = true;
            if (!winop::askSnapshot(last, "during-download")) fail("no screenshot during the download");
        }
    });
    if (seen.box == nullptr) return fail("the download ended in no box");
    if (demo && !winop::askSnapshot(last, "outcome-box")) fail("no screenshot of the outcome box");
    const winop::Box box = tool.answer(seen.box);
    std::printf("outcome box \"%s\":\n%s\n", box.caption.c_str(), box.text.c_str());
    if (demo) std::printf("download time: %.2f s for %ld blocks\n", seen.seconds, static_cast<long>(blocks));
    if (!demo) std::printf("measured-seconds %.4f\n", seen.seconds);
    if (tool.close(winop::Close::CloseBox) != kExitAfterClose) return fail("the window did not close with exit code 2");
    return box.text.rfind(kSuccessFirstLine, 0) == 0 ? 0 : fail("the download did not succeed");
}
}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc == 6 ? argv[1] : "";
    if (mode != "demo" && mode != "bench") {
        std::printf("usage: window-operator demo TOOL_EXE IMAGE PORT SNAPSHOT_FOLDER\n"
                    "       window-operator bench TOOL_EXE IMAGE PORT BAUD\n");
        return 2;
    }
    const int status = run(mode, argv[2], argv[3], argv[4], argv[5]);
    std::fflush(stdout);
    return status;
}
