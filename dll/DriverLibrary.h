// DriverLibrary: the loaded driver library as DriverClient sees it: the file, its three exports and the block
// contract of `request`. The Windows implementation (Win32DriverLibrary) uses LoadLibraryA, GetProcAddress,
// GlobalAlloc and GlobalFree; tests put a fake in its place.
#pragma once

#include <string>

class DriverLibrary {
public:
    virtual ~DriverLibrary() = default;

    // Loads the file at `path` and looks up "load", "request" and "unload", in this order, always all three.
    // True when all three were found. Otherwise the file is released again, nothing stays loaded, and false.
    virtual bool open(const std::string& path) = 0;
    // Calls the export `load`; true when the low byte of its result is nonzero.
    virtual bool load() = 0;
    // One call of the export `request`: the request block (n + 1 bytes, GPTR) is handed over and freed by the
    // library; the response block's text (cut at a NUL byte) is copied out and the block freed. A missing
    // response block, or a request block that cannot be allocated, gives the empty response text.
    virtual std::string request(const std::string& text) = 0;
    // Calls the export `unload`; its result is ignored.
    virtual void unload() = 0;
    // Releases the file (FreeLibrary); false when nothing was loaded or the release failed.
    virtual bool release() = 0;
};
