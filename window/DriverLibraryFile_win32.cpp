// Writing the embedded driver library to its file.
#include "DriverLibraryFile_win32.h"

bool extractDriverLibrary(HMODULE module, const std::string& path) {
    const HRSRC resource = FindResourceA(module, driverfile::kResourceName, driverfile::kResourceType);
    if (resource == nullptr) return false;
    const DWORD size = SizeofResource(module, resource);
    const HGLOBAL loaded = LoadResource(module, resource);
    if (loaded == nullptr) return false;
    const void* bytes = LockResource(loaded);

    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                    nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    WriteFile(file, bytes, size, &written, nullptr);  // a short write shows later, when the library fails to load
    CloseHandle(file);
    return true;
}
