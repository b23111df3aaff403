// Test helper built by both configurations: make_patch REFERENCE TARGET PATCH
// writes the patch that turns REFERENCE into TARGET; make_patch -a REFERENCE
// PATCH SIZE RESULT applies one. Exit 0 on success, 1 when the patch module
// refuses, 2 on a file or usage error. ASCII paths only.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "support/delta_patch.h"

namespace {

bool ReadAll(const char* name, std::string& bytes) {
    std::ifstream in(std::filesystem::path(name), std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool WriteAll(const char* name, const std::string& bytes) {
    std::ofstream out(std::filesystem::path(name), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return !out.fail();
}

}  // namespace

int main(int argc, char** argv) {
    std::string reference, other, output;
    if (argc == 4) {
        if (!ReadAll(argv[1], reference) || !ReadAll(argv[2], other)) return 2;
        if (!MakePatch(reference, other, output)) return 1;
        return WriteAll(argv[3], output) ? 0 : 2;
    }
    if (argc == 6 && std::string(argv[1]) == "-a") {
        if (!ReadAll(argv[2], reference) || !ReadAll(argv[3], other)) return 2;
        const uint64_t size = std::strtoull(argv[4], nullptr, 10);
        if (!ApplyPatch(reference, other, size, output, nullptr)) return 1;
        return WriteAll(argv[5], output) ? 0 : 2;
    }
    return 2;
}
