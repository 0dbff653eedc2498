#pragma once
// Shared by the playback tests: a scratch working directory (the diagnostic log lands in
// the current directory) and reproducible test audio.

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

class ScratchDirectory {
public:
    ScratchDirectory() {
        char pattern[] = "/tmp/tervano_playback_XXXXXX";
        path_ = mkdtemp(pattern) ? pattern : "";
        char cwd[4096];
        previous_ = getcwd(cwd, sizeof cwd) ? cwd : "/";
        if (!path_.empty() && chdir(path_.c_str()) != 0) path_.clear();
    }
    ~ScratchDirectory() {
        if (chdir(previous_.c_str()) != 0) return;
        if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::string previous_;
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
    for (size_t i = 0; i < count; ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = static_cast<uint8_t>(state >> 16);
    }
    return bytes;
}
