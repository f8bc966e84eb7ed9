// window-operator (Windows only): the demo's and the benchmark's download through the real window; not a test.
//   window-operator demo TOOL_EXE IMAGE PORT SNAPSHOT_FOLDER   screenshots under way and of the outcome box
//   window-operator bench TOOL_EXE IMAGE PORT BAUD             the time from Start to the outcome box
// Prints the outcome box; exits 0 when it tells of success and the window then closed as it should.
//   window-operator shortcut LINK_FILE                         the tool a shortcut (.lnk) starts, in its folder
// Prints the shortcut's target and folder, the window's title and the About box's texts; exits 0 when the window
// showed, the About box opened and the window then closed as it should.
#include <objbase.h>
#include <shlobj.h>

#include <algorithm>
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

// The target and working folder of a shortcut, read through the shell's own link object.
bool readShortcut(const std::string& linkFile, std::string& target, std::string& folder) {
    IShellLinkA* link = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                reinterpret_cast<void**>(&link)))) {
        return false;
    }
    IPersistFile* file = nullptr;
    bool read = SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)));
    if (read) {
        std::wstring wide(MAX_PATH, L'\0');
        wide.resize(static_cast<std::size_t>(std::max(0, MultiByteToWideChar(
            CP_ACP, 0, linkFile.c_str(), -1, wide.data(), static_cast<int>(wide.size())) - 1)));
        char path[MAX_PATH] = {}, workingFolder[MAX_PATH] = {};
        read = !wide.empty() && SUCCEEDED(file->Load(wide.c_str(), STGM_READ)) &&
               link->GetPath(path, MAX_PATH, nullptr, 0) == S_OK &&
               SUCCEEDED(link->GetWorkingDirectory(workingFolder, MAX_PATH));
        target = path;
        folder = workingFolder;
        file->Release();
    }
    link->Release();
    return read;
}

int startThroughShortcut(const std::string& linkFile) {
    std::string exe, folder;
    if (!readShortcut(linkFile, exe, folder)) return fail("the shortcut cannot be read");
    std::printf("shortcut target %s in %s\n", exe.c_str(), folder.c_str());
    winop::Tool tool;
    if (!tool.start(exe, folder)) return fail("the window did not show");
    std::printf("title \"%s\"\n", tool.title().c_str());
    tool.command(winop::kAboutCommand);
    const winop::Box about = tool.answerBox();
    if (!about.shown) return fail("no About box");
    std::printf("about box \"%s\":", about.caption.c_str());
    for (const std::string& text : about.controls) std::printf(" \"%s\"", text.c_str());
    std::printf("\n");
    if (tool.close(winop::Close::CloseBox) != kExitAfterClose) return fail("the window did not close with exit code 2");
    return 0;
}
}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc == 6 || argc == 3 ? argv[1] : "";
    if (!(argc == 6 && (mode == "demo" || mode == "bench")) && !(argc == 3 && mode == "shortcut")) {
        std::printf("usage: window-operator demo TOOL_EXE IMAGE PORT SNAPSHOT_FOLDER\n"
                    "       window-operator bench TOOL_EXE IMAGE PORT BAUD\n"
                    "       window-operator shortcut LINK_FILE\n");
        return 2;
    }
    int status = 0;
    if (mode == "shortcut") {
        CoInitialize(nullptr);
        status = startThroughShortcut(argv[2]);
        CoUninitialize();
    } else {
        status = run(mode, argv[2], argv[3], argv[4], argv[5]);
    }
    std::fflush(stdout);
    return status;
}
