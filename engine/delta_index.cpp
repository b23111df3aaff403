#include "engine/delta_index.h"

#include <algorithm>
#include <tuple>

#include "support/delta_patch.h"

namespace {

bool IsMd5(const std::string& text) {
    if (text.size() != 32) return false;
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

// A patch is kept only when smaller than half its file, and no file above
// kMaxPatchedFileSize gets one: anything else is not a real patch size.
bool ParseSize(const std::string& text, uint64_t& size) {
    if (text.empty() || text.size() > 12) return false;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value == 0 || value > kMaxPatchedFileSize) return false;
    size = value;
    return true;
}

bool ParseLine(const std::string& line, DeltaEntry& entry) {
    // The path may hold '=' itself; the last three fields never do.
    const size_t third = line.rfind('=');
    if (third == std::string::npos || third == 0) return false;
    const size_t second = line.rfind('=', third - 1);
    if (second == std::string::npos || second == 0) return false;
    const size_t first = line.rfind('=', second - 1);
    if (first == std::string::npos || first == 0) return false;
    entry.path = line.substr(0, first);
    entry.newMd5 = line.substr(first + 1, second - first - 1);
    entry.oldMd5 = line.substr(second + 1, third - second - 1);
    return IsMd5(entry.newMd5) && IsMd5(entry.oldMd5) && entry.newMd5 != entry.oldMd5 &&
           ParseSize(line.substr(third + 1), entry.patchSize);
}

bool Before(const DeltaEntry& a, const DeltaEntry& b) {
    return std::tie(a.path, a.oldMd5) < std::tie(b.path, b.oldMd5);
}

}  // namespace

std::string FormatDeltaIndex(std::vector<DeltaEntry> entries) {
    std::sort(entries.begin(), entries.end(), Before);
    std::string bytes;
    for (const auto& entry : entries)
        bytes += entry.path + "=" + entry.newMd5 + "=" + entry.oldMd5 + "=" +
                 std::to_string(entry.patchSize) + "\r\n";
    return bytes;
}

bool ParseDeltaIndex(const std::string& bytes, std::vector<DeltaEntry>& entries) {
    entries.clear();
    if (bytes.size() > kMaxDeltaIndexBytes) return false;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos) end = bytes.size();
        std::string line = bytes.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        DeltaEntry entry;
        if (line.find('\0') == std::string::npos && ParseLine(line, entry))
            entries.push_back(std::move(entry));
        start = end + 1;
    }
    std::stable_sort(entries.begin(), entries.end(), Before);
    return true;
}

std::optional<DeltaLookup> FindDeltaPatch(const std::vector<DeltaEntry>& entries,
                                          const std::string& path, const std::string& oldMd5) {
    DeltaEntry key;
    key.path = path;
    key.oldMd5 = oldMd5;
    const auto found = std::lower_bound(entries.begin(), entries.end(), key, Before);
    if (found == entries.end() || found->path != path || found->oldMd5 != oldMd5)
        return std::nullopt;
    return DeltaLookup{found->newMd5, found->patchSize};
}

bool HasDeltaPatchTo(const std::vector<DeltaEntry>& entries, const std::string& path,
                     const std::string& newMd5) {
    DeltaEntry key;
    key.path = path;
    for (auto at = std::lower_bound(entries.begin(), entries.end(), key, Before);
         at != entries.end() && at->path == path; ++at) {
        if (at->newMd5 == newMd5) return true;
    }
    return false;
}

std::string DeltaPatchPath(const std::string& oldMd5, const std::string& newMd5) {
    return "comm/delta/" + oldMd5 + "-" + newMd5 + ".zst";
}
