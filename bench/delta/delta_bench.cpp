// Applying a patch: ApplyPatch against bare libzstd (a prefix-referencing
// one-shot decompression into a buffer of the known size), same process, same
// patch, best of five wall-clock runs each. delta_bench REFERENCE TARGET
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include <zstd.h>

#include "support/delta_patch.h"

namespace {

double Seconds() {
    LARGE_INTEGER frequency = {}, now = {};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

bool ReadAll(const char* name, std::string& bytes) {
    std::ifstream in(name, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool FloorApply(const std::string& reference, const std::string& patch, std::string& result) {
    ZSTD_DCtx* context = ZSTD_createDCtx();
    if (!context) return false;
    ZSTD_DCtx_setParameter(context, ZSTD_d_windowLogMax, kMaxPatchWindowLog);
    ZSTD_DCtx_refPrefix(context, reference.data(), reference.size());
    const size_t written =
        ZSTD_decompressDCtx(context, &result[0], result.size(), patch.data(), patch.size());
    ZSTD_freeDCtx(context);
    return !ZSTD_isError(written) && written == result.size();
}

}  // namespace

int main(int argc, char** argv) {
    std::string reference, target, patch;
    if (argc != 3 || !ReadAll(argv[1], reference) || !ReadAll(argv[2], target)) {
        fprintf(stderr, "usage: delta_bench REFERENCE TARGET\n");
        return 2;
    }
    double start = Seconds();
    if (!MakePatch(reference, target, patch)) return 1;
    const double makeSeconds = Seconds() - start;
    double floorBest = 1e9, oursBest = 1e9;
    for (int run = 0; run < 5; ++run) {
        // The floor pays for its output buffer as ApplyPatch does.
        start = Seconds();
        std::string result(target.size(), '\0');
        if (!FloorApply(reference, patch, result) || result != target) return 1;
        const double floorSeconds = Seconds() - start;
        if (floorSeconds < floorBest) floorBest = floorSeconds;
        result.clear();
        result.shrink_to_fit();
        start = Seconds();
        if (!ApplyPatch(reference, patch, target.size(), result, nullptr) || result != target)
            return 1;
        const double oursSeconds = Seconds() - start;
        if (oursSeconds < oursBest) oursBest = oursSeconds;
    }
    printf("target_bytes %zu\npatch_bytes %zu\n", target.size(), patch.size());
    printf("make_s %.3f\nfloor_apply_ms %.2f\nours_apply_ms %.2f\n", makeSeconds, floorBest * 1e3,
           oursBest * 1e3);
    return 0;
}
