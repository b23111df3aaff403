// Splitting texts into fields.
#pragma once

#include <string>
#include <vector>

// Appends the non-empty fields of text to fields and returns the list's size.
// A one-character separator splits at runs of it; a longer separator is first
// turned into the byte 0xFF (U+00FF), which then splits like any separator.
size_t SplitFields(const std::string& text, std::vector<std::string>& fields,
                   const std::string& separator);
size_t SplitFields(const std::wstring& text, std::vector<std::wstring>& fields,
                   const std::wstring& separator);
