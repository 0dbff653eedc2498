#pragma once
// Shared by the playback tests: a scratch working directory (the diagnostic log lands in
// the current one) and reproducible test audio.

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

class ScratchDirectory {
public:
    ScratchDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tervano_XXXXXX").string();
        if (mkdtemp(pattern.data()) && chdir(pattern.c_str()) == 0) path_ = pattern;
    }
    ~ScratchDirectory() {
        std::filesystem::current_path(previous_);
        if (!path_.empty()) std::filesystem::remove_all(path_);
    }
    const std::string& path() const { return path_; }

private:
    std::filesystem::path previous_ = std::filesystem::current_path();
    std::string path_;
};

inline std::vector<uint8_t> read_file(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline std::string read_log() {
    std::vector<uint8_t> bytes = read_file("log.txt");
    return std::string(bytes.begin(), bytes.end());
}

// Bytes that never repeat in a short stretch, so that a lost, doubled or shifted byte
// shows up in a comparison.
inline std::vector<uint8_t> test_audio(size_t count, uint32_t seed) {
    std::vector<uint8_t> bytes(count);
    uint32_t state = seed * 2654435761u + 12345u;
    for (uint8_t& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(state >> 16);
    }
    return bytes;
}
