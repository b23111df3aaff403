#include "engine/request_form.h"

namespace {

// ASCII the request form passes as is but the URL grammar or the server
// reads otherwise: "#" ends the path, "?" starts a query, "%" is decoded.
constexpr char NOT_CARRIED[] = "#%?";

}  // namespace

std::string RequestForm(const std::string& utf8Url) {
    constexpr char hex[] = "0123456789ABCDEF";
    std::string escaped;
    escaped.reserve(utf8Url.size());
    for (char c : utf8Url) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            escaped.push_back(c);
        } else {
            escaped.push_back('%');
            escaped.push_back(hex[byte >> 4]);
            escaped.push_back(hex[byte & 0x0F]);
        }
    }
    return escaped;
}

std::string RequestFormLoses(const std::string& utf8Path) {
    for (char c : utf8Path) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return "a control character";
        for (const char* special = NOT_CARRIED; *special != '\0'; ++special) {
            if (c == *special) return std::string("\"") + c + "\"";
        }
        // A four-byte sequence: two UTF-16 units, each encoded on its own,
        // which the server never decodes back to this character.
        if (byte >= 0xF0) return "a character outside the Basic Multilingual Plane";
    }
    return std::string();
}
