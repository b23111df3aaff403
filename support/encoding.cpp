#include "support/encoding.h"

#include <windows.h>

#include <cstdio>
#include <vector>

std::wstring AnsiToWide(const std::string& text) {
    const UINT codePage = GetACP();
    // Taken up to its terminating NUL, as the C string it stands for.
    const int needed = MultiByteToWideChar(codePage, 0, text.c_str(), -1, nullptr, 0);
    if (needed <= 0) return std::wstring();
    std::vector<wchar_t> buffer(static_cast<size_t>(needed) + 10, L'\0');
    MultiByteToWideChar(codePage, 0, text.c_str(), -1, buffer.data(), needed);
    return std::wstring(buffer.data());
}

std::string WideToAnsi(const std::wstring& text) { return WideToCodePage(text, GetACP()); }

std::string WideToCodePage(const std::wstring& text, unsigned codePage) {
    const int needed =
        WideCharToMultiByte(codePage, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return std::string();
    std::vector<char> buffer(static_cast<size_t>(needed), '\0');
    WideCharToMultiByte(codePage, 0, text.c_str(), -1, buffer.data(), needed, nullptr, nullptr);
    return std::string(buffer.data());
}

std::string WideToUtf8(const std::wstring& text) {
    size_t length = 0;
    for (wchar_t unit : text) {
        const unsigned value = static_cast<unsigned>(unit) & 0xFFFFu;
        length += value < 0x80 ? 1 : value < 0x800 ? 2 : 3;
    }
    std::string result;
    result.reserve(length);
    for (wchar_t unit : text) {
        const unsigned value = static_cast<unsigned>(unit) & 0xFFFFu;
        if (value < 0x80) {
            result.push_back(static_cast<char>(value));
        } else if (value < 0x800) {
            result.push_back(static_cast<char>(0xC0 | (value >> 6)));
            result.push_back(static_cast<char>(0x80 | (value & 0x3F)));
        } else {
            result.push_back(static_cast<char>(0xE0 | (value >> 12)));
            result.push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
            result.push_back(static_cast<char>(0x80 | (value & 0x3F)));
        }
    }
    return result;
}

std::wstring Utf8ToWide(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int size = static_cast<int>(text.size());
    const int needed = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    if (needed <= 0) return std::wstring();
    std::wstring result(static_cast<size_t>(needed), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), size, &result[0], needed);
    return result;
}

std::string WideToUtf8Paired(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int size = static_cast<int>(text.size());
    const int needed =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return std::string();
    std::string result(static_cast<size_t>(needed), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), size, &result[0], needed, nullptr, nullptr);
    return result;
}

std::string EncodeUrlPath(const std::string& ansiText) {
    const std::string utf8 = WideToUtf8(AnsiToWide(ansiText));
    std::string result;
    result.reserve(utf8.size() * 3);
    for (char c : utf8) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte >= 0x2E && byte <= 0x7F) {
            result.push_back(c);
            continue;
        }
        char escaped[8] = {};
        _snprintf_s(escaped, sizeof(escaped), _TRUNCATE, "%s%02X", "%", byte);
        result += escaped;
    }
    return result;
}
