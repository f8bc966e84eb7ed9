// Bundle on Windows: always a zip, written through the wide API; the system's facts from RtlGetVersion (the version
// the system tells, which GetVersionEx hides from a program without a compatibility manifest) and GetNativeSystemInfo.
#include "Bundle.h"
#include "ZipArchive.h"

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace {
constexpr int kFolderAttempts = 16;  // names tried for the private folder before giving up

// `text` from the ANSI code page, in which the C runtime hands qbv-flash its arguments.
std::wstring fromAnsi(const std::string& text) {
    const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(std::max(n, 0)), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

const char* machineName(WORD architecture) {
    switch (architecture) {
        case PROCESSOR_ARCHITECTURE_AMD64: return "x86_64";
        case PROCESSOR_ARCHITECTURE_INTEL: return "x86";
        case PROCESSOR_ARCHITECTURE_ARM64: return "arm64";
        case PROCESSOR_ARCHITECTURE_ARM: return "arm";
        default: return "unknown";
    }
}
}  // namespace

std::string bundle::nameProblem(const std::string& target) {
    return zip::namesZip(target) ? "" : "--bundle: on Windows the bundle is a zip: give a FILE ending in .zip";
}

std::string bundle::systemFacts() {
    using GetVersionFn = LONG(WINAPI*)(PRTL_OSVERSIONINFOW);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto getVersion = ntdll == nullptr ? nullptr
                            : reinterpret_cast<GetVersionFn>(
                                  reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
    RTL_OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    std::string facts = "os Windows\nversion ";
    if (getVersion != nullptr && getVersion(&version) == 0) {
        facts += std::to_string(version.dwMajorVersion) + "." + std::to_string(version.dwMinorVersion) + "." +
                 std::to_string(version.dwBuildNumber) + "\n";
    } else {
        facts += "unknown\n";
    }
    SYSTEM_INFO info{};
    GetNativeSystemInfo(&info);
    return facts + "machine " + machineName(info.wProcessorArchitecture) + "\n";
}

// In the user's temporary folder (the user's own), named by its short form: ASCII wherever the volume keeps short
// names, so the narrow path the rest of qbv-flash is given names this same folder.
std::string bundle::makeFolder() {
    wchar_t temp[MAX_PATH + 1] = {};
    wchar_t shortTemp[MAX_PATH + 1] = {};
    const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    const DWORD s = n == 0 || n > MAX_PATH ? 0 : GetShortPathNameW(temp, shortTemp, MAX_PATH + 1);
    const std::wstring base = s == 0 || s > MAX_PATH ? std::wstring() : shortTemp;
    if (base.empty() || std::any_of(base.begin(), base.end(), [](wchar_t c) { return c >= 0x80; })) return "";
    const std::wstring top(kTopFolder, kTopFolder + std::char_traits<char>::length(kTopFolder));
    for (int attempt = 0; attempt < kFolderAttempts; ++attempt) {
        const std::wstring folder =
            base + top + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(attempt);
        if (CreateDirectoryW(folder.c_str(), nullptr)) {
            if (CreateDirectoryW((folder + L"\\" + top).c_str(), nullptr)) {
                return std::string(folder.begin(), folder.end());  // ASCII: one char each
            }
            RemoveDirectoryW(folder.c_str());
            return "";
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) return "";
    }
    return "";
}

std::string bundle::pack(const std::string& folder, const std::string& target) {
    const zip::Archive archive = zip::packFolder(folder, kTopFolder);
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    if (!archive.error.empty()) return archive.error;
    const HANDLE file = CreateFileW(fromAnsi(target).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "cannot write " + target;
    DWORD written = 0;
    const bool whole = WriteFile(file, archive.bytes.data(), static_cast<DWORD>(archive.bytes.size()), &written,
                                 nullptr) && written == archive.bytes.size();
    const bool closed = CloseHandle(file) != 0;
    return whole && closed ? "" : "cannot write " + target;
}
