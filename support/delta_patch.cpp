#include "support/delta_patch.h"

#include <new>

// For the frame header's window size, which one-shot decoding never checks.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>
#include <zstd_errors.h>

namespace {

struct CompressContext {
    ZSTD_CCtx* context = ZSTD_createCCtx();
    ~CompressContext() { ZSTD_freeCCtx(context); }
    CompressContext() = default;
    CompressContext(const CompressContext&) = delete;
    CompressContext& operator=(const CompressContext&) = delete;
};

struct DecompressContext {
    ZSTD_DCtx* context = ZSTD_createDCtx();
    ~DecompressContext() { ZSTD_freeDCtx(context); }
    DecompressContext() = default;
    DecompressContext(const DecompressContext&) = delete;
    DecompressContext& operator=(const DecompressContext&) = delete;
};

// Smallest window log whose window covers the reference and the target, so
// every match into the reference stays reachable.
int WindowLogFor(uint64_t reference, uint64_t target) {
    const uint64_t span = reference + target;
    int log = 10;  // zstd's smallest window
    while (log < kMaxPatchWindowLog && (uint64_t{1} << log) < span) ++log;
    return log;
}

bool Refuse(PatchRefusal why, std::string& result, PatchRefusal* refusal) {
    result.clear();
    if (refusal) *refusal = why;
    return false;
}

}  // namespace

bool MakePatch(const std::string& reference, const std::string& target, std::string& patch) {
    patch.clear();
    if (reference.size() > kMaxPatchedFileSize || target.size() > kMaxPatchedFileSize) return false;
    CompressContext cctx;
    if (!cctx.context) return false;
    const int windowLog = WindowLogFor(reference.size(), target.size());
    ZSTD_CCtx* c = cctx.context;
    const size_t settings[] = {
        ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, kPatchCompressionLevel),
        ZSTD_CCtx_setParameter(c, ZSTD_c_enableLongDistanceMatching, 1),
        ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, windowLog),
        ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 1),
        ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1),
        ZSTD_CCtx_refPrefix(c, reference.data(), reference.size()),
    };
    for (size_t code : settings)
        if (ZSTD_isError(code)) return false;
    try {
        patch.resize(ZSTD_compressBound(target.size()));
    } catch (const std::bad_alloc&) {
        return false;
    }
    const size_t written = ZSTD_compress2(c, &patch[0], patch.size(), target.data(), target.size());
    if (ZSTD_isError(written)) {
        patch.clear();
        return false;
    }
    patch.resize(written);
    return true;
}

bool ApplyPatch(const std::string& reference, const std::string& patch, uint64_t expectedSize,
                std::string& result, PatchRefusal* refusal) {
    result.clear();
    if (refusal) *refusal = PatchRefusal::None;
    if (reference.size() > kMaxPatchedFileSize || expectedSize > kMaxPatchedFileSize)
        return Refuse(PatchRefusal::TooLarge, result, refusal);
    const size_t frameSize = ZSTD_findFrameCompressedSize(patch.data(), patch.size());
    if (ZSTD_isError(frameSize))
        return Refuse(patch.empty() ? PatchRefusal::NotOneFrame : PatchRefusal::Corrupt, result,
                      refusal);
    if (frameSize != patch.size()) return Refuse(PatchRefusal::NotOneFrame, result, refusal);
    // A skippable frame would decode to nothing: only a real frame will do.
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(patch.data());
    const uint32_t magic =
        bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
    if (magic != ZSTD_MAGICNUMBER) return Refuse(PatchRefusal::Corrupt, result, refusal);
    const unsigned long long stated = ZSTD_getFrameContentSize(patch.data(), patch.size());
    if (stated == ZSTD_CONTENTSIZE_ERROR) return Refuse(PatchRefusal::Corrupt, result, refusal);
    if (stated == ZSTD_CONTENTSIZE_UNKNOWN)
        return Refuse(PatchRefusal::NoContentSize, result, refusal);
    if (stated != expectedSize) return Refuse(PatchRefusal::WrongSize, result, refusal);
    ZSTD_frameHeader header{};
    if (ZSTD_getFrameHeader(&header, patch.data(), patch.size()) != 0)
        return Refuse(PatchRefusal::Corrupt, result, refusal);
    if (header.windowSize > (uint64_t{1} << kMaxPatchWindowLog))
        return Refuse(PatchRefusal::WindowTooLarge, result, refusal);

    DecompressContext dctx;
    if (!dctx.context) return Refuse(PatchRefusal::OutOfMemory, result, refusal);
    ZSTD_DCtx* d = dctx.context;
    if (ZSTD_isError(ZSTD_DCtx_setParameter(d, ZSTD_d_windowLogMax, kMaxPatchWindowLog)) ||
        ZSTD_isError(ZSTD_DCtx_refPrefix(d, reference.data(), reference.size())))
        return Refuse(PatchRefusal::Corrupt, result, refusal);
    try {
        // One byte of slack, so output beyond the stated size shows as an error.
        result.resize(static_cast<size_t>(expectedSize) + 1);
    } catch (const std::bad_alloc&) {
        return Refuse(PatchRefusal::OutOfMemory, result, refusal);
    }
    const size_t decoded =
        ZSTD_decompressDCtx(d, &result[0], result.size(), patch.data(), patch.size());
    if (ZSTD_isError(decoded)) {
        const ZSTD_ErrorCode code = ZSTD_getErrorCode(decoded);
        if (code == ZSTD_error_frameParameter_windowTooLarge)
            return Refuse(PatchRefusal::WindowTooLarge, result, refusal);
        if (code == ZSTD_error_memory_allocation)
            return Refuse(PatchRefusal::OutOfMemory, result, refusal);
        return Refuse(PatchRefusal::Corrupt, result, refusal);
    }
    if (decoded != expectedSize) return Refuse(PatchRefusal::WrongSize, result, refusal);
    result.resize(decoded);
    return true;
}
