#include "tools/publish/windows_case.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace {

struct CaseMapping {
    uint16_t from;
    uint16_t to;
};

// Sorted by from, as UnicodeData.txt is.
constexpr CaseMapping UPPER_CASE[] = {
#include "upcase_table.inc"
};

uint16_t Upcased(uint16_t unit) {
    const CaseMapping* end = std::end(UPPER_CASE);
    const CaseMapping* found = std::lower_bound(
        std::begin(UPPER_CASE), end, unit,
        [](const CaseMapping& mapping, uint16_t value) { return mapping.from < value; });
    return found != end && found->from == unit ? found->to : unit;
}

void AppendUtf8(std::string& out, uint16_t unit) {
    if (unit < 0x80) {
        out += static_cast<char>(unit);
    } else if (unit < 0x800) {
        out += static_cast<char>(0xC0 | (unit >> 6));
        out += static_cast<char>(0x80 | (unit & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (unit >> 12));
        out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (unit & 0x3F));
    }
}

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

std::string WindowsUpcased(const std::string& utf8) {
    std::string out;
    out.reserve(utf8.size());
    size_t i = 0;
    while (i < utf8.size()) {
        unsigned char lead = static_cast<unsigned char>(utf8[i]);
        size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : 0;
        bool whole = length != 0 && i + length <= utf8.size();
        for (size_t k = 1; whole && k < length; ++k) {
            whole = IsContinuation(static_cast<unsigned char>(utf8[i + k]));
        }
        if (!whole) {
            // Four-byte characters lie outside the plane; malformed bytes
            // have no case. Either way the bytes stay.
            out += utf8[i++];
            continue;
        }
        uint32_t code = length == 1 ? lead : length == 2 ? (lead & 0x1Fu) : (lead & 0x0Fu);
        for (size_t k = 1; k < length; ++k) {
            code = (code << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3Fu);
        }
        AppendUtf8(out, Upcased(static_cast<uint16_t>(code)));
        i += length;
    }
    return out;
}
