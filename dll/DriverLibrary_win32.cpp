// Win32DriverLibrary: LoadLibraryA, GetProcAddress of load, request and unload, and the request block contract.
#include "DriverLibrary_win32.h"

#include <cstring>

namespace {

template <typename Fn>
Fn exportOf(HMODULE module, const char* name) {
    if (module == nullptr) return nullptr;  // with no module every lookup comes back null
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

Win32DriverLibrary::~Win32DriverLibrary() {
    if (module_ != nullptr) FreeLibrary(module_);
}

bool Win32DriverLibrary::open(const std::string& path) {
    if (module_ != nullptr) return false;
    module_ = LoadLibraryA(path.c_str());
    load_ = exportOf<LoadFn>(module_, "load");
    request_ = exportOf<RequestFn>(module_, "request");
    unload_ = exportOf<UnloadFn>(module_, "unload");
    if (load_ != nullptr && request_ != nullptr && unload_ != nullptr) return true;
    if (module_ != nullptr) FreeLibrary(module_);
    module_ = nullptr;
    load_ = nullptr;
    request_ = nullptr;
    unload_ = nullptr;
    return false;
}

bool Win32DriverLibrary::load() {
    return load_ != nullptr && load_() != 0;
}

std::string Win32DriverLibrary::request(const std::string& text) {
    if (request_ == nullptr) return std::string();
    // 1. The request block: n + 1 bytes, fixed and zeroed; the n text bytes are copied, the last byte stays 0.
    char* block = static_cast<char*>(GlobalAlloc(GPTR, text.size() + 1));
    if (block == nullptr) return std::string();  // nothing sent: an empty answer, which counts as failure
    std::memcpy(block, text.data(), text.size());
    std::uint32_t length = static_cast<std::uint32_t>(text.size());
    // 2. The library frees the request block; it is neither read nor freed here after the call.
    char* answer = request_(block, &length);
    // 3./4. Copy the m-byte answer, cut at a NUL byte, then free the answer block. No block: the empty text.
    if (answer == nullptr) return std::string();
    const void* nul = std::memchr(answer, 0, length);
    const std::size_t count = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - answer) : length;
    std::string response(answer, count);
    GlobalFree(answer);
    return response;
}

void Win32DriverLibrary::unload() {
    if (unload_ != nullptr) unload_();
}

bool Win32DriverLibrary::release() {
    if (module_ == nullptr) return false;
    const BOOL freed = FreeLibrary(module_);
    module_ = nullptr;
    load_ = nullptr;
    request_ = nullptr;
    unload_ = nullptr;
    return freed != FALSE;
}

std::unique_ptr<DriverLibrary> makeSystemDriverLibrary() {
    return std::make_unique<Win32DriverLibrary>();
}
