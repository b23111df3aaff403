#include "tests/publish/publisher_run.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <random>

namespace fs = std::filesystem;

fs::path NewFolder(const std::string& label) {
    static std::atomic<unsigned> counter{0};
    static const unsigned seed = std::random_device{}();
    for (;;) {
        fs::path folder =
            fs::temp_directory_path() / ("veldra-publish-" + label + "-" + std::to_string(seed) +
                                         "-" + std::to_string(counter++));
        std::error_code error;
        if (fs::create_directories(folder, error)) return folder;
    }
}

fs::path PathOf(const std::string& utf8) {
    std::string slashed = utf8;
    for (char& c : slashed) {
        if (c == '\\') c = '/';
    }
    return fs::u8path(slashed);
}

bool WriteBytes(const fs::path& path, const std::string& bytes) {
    std::error_code error;
    fs::create_directories(path.parent_path(), error);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return !out.fail();
}

std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::string();
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void RemoveFolder(const fs::path& folder) {
    std::error_code error;
    fs::remove_all(folder, error);
}
