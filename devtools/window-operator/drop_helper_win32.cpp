// Drop helper DLL (Windows only), loaded into the running tool: drops files on its window as the shell does.
// It reads "<its own name>.txt": the window handle in decimal, then one path a line; the HDROP is made in the tool.
#include <windows.h>
#include <shlobj.h>

#include <cstring>
#include <string>
#include <vector>

namespace {
constexpr POINT kDropPoint = {20, 20};  // client coordinates of the drop

std::string requestPath(HINSTANCE instance) {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(instance, path, MAX_PATH);
    std::string text(path);
    const std::size_t dot = text.find_last_of('.');
    return text.substr(0, dot) + ".txt";
}

std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return lines;
    char buffer[4096] = {};
    DWORD got = 0;
    ReadFile(file, buffer, sizeof buffer - 1, &got, nullptr);
    CloseHandle(file);
    std::string current;
    for (DWORD i = 0; i < got; ++i) {
        if (buffer[i] == '\r') continue;
        if (buffer[i] == '\n') {
            lines.push_back(current);
            current.clear();
        } else {
            current += buffer[i];
        }
    }
    if (!current.empty()) lines.push_back(current);
    return lines;
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    const std::vector<std::string> lines = readLines(requestPath(instance));
    if (lines.size() < 2) return TRUE;
    const HWND target = reinterpret_cast<HWND>(static_cast<UINT_PTR>(std::stoull(lines[0])));

    SIZE_T size = sizeof(DROPFILES) + 1;  // the list ends with an empty name
    for (std::size_t i = 1; i < lines.size(); ++i) size += lines[i].size() + 1;
    const HGLOBAL drop = GlobalAlloc(GHND | GMEM_SHARE, size);
    if (drop == nullptr) return TRUE;
    auto* header = static_cast<DROPFILES*>(GlobalLock(drop));
    header->pFiles = sizeof(DROPFILES);
    header->pt = kDropPoint;
    header->fNC = FALSE;
    header->fWide = FALSE;
    char* names = reinterpret_cast<char*>(header) + sizeof(DROPFILES);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::memcpy(names, lines[i].c_str(), lines[i].size() + 1);
        names += lines[i].size() + 1;
    }
    GlobalUnlock(drop);
    if (!PostMessageA(target, WM_DROPFILES, reinterpret_cast<WPARAM>(drop), 0)) GlobalFree(drop);
    return TRUE;
}
