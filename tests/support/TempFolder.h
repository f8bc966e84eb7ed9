// TempFolder: a fresh folder for one host test, removed with its files afterwards, and whole-file reads and writes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

struct TempFolder {
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("qbv-test-" + std::to_string(std::random_device{}()));
    TempFolder() { std::filesystem::remove_all(path), std::filesystem::create_directories(path); }
    ~TempFolder() { std::filesystem::remove_all(path); }
    std::string operator/(const std::string& name) const { return (path / name).string(); }
};

inline void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}
inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}
inline const std::uint8_t* bytesOf(const std::string& s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }
