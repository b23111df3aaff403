// Conversions between the ANSI code page, UTF-16 and UTF-8.
#pragma once

#include <string>

std::wstring AnsiToWide(const std::string& text);
std::string WideToAnsi(const std::wstring& text);
// The same conversion for a code page given, whatever the system's is.
std::string WideToCodePage(const std::wstring& text, unsigned codePage);

// Each UTF-16 unit on its own (a surrogate pair gives two 3-byte sequences).
std::string WideToUtf8(const std::wstring& text);

// UTF-8 to UTF-16 with the platform converter (invalid bytes become U+FFFD).
std::wstring Utf8ToWide(const std::string& text);
// Its mirror: surrogate pairs become one 4-byte sequence, unlike WideToUtf8.
std::string WideToUtf8Paired(const std::wstring& text);

// ANSI text to UTF-8 with every byte outside 0x2E..0x7F as "%XX".
std::string EncodeUrlPath(const std::string& ansiText);
