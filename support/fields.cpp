#include "support/fields.h"

#include <cstring>
#include <cwchar>

namespace {

// Stands in for a separator of two or more characters.
constexpr char SPLIT_MARK = static_cast<char>(0xFF);
constexpr wchar_t SPLIT_MARK_WIDE = L'\u00FF';

template <typename CharT>
std::basic_string<CharT> ReplaceAll(std::basic_string<CharT> text,
                                    const std::basic_string<CharT>& separator, CharT mark) {
    size_t at = 0;
    while ((at = text.find(separator, at)) != std::basic_string<CharT>::npos) {
        text.replace(at, separator.size(), 1, mark);
        ++at;
    }
    return text;
}

}  // namespace

size_t SplitFields(const std::string& text, std::vector<std::string>& fields,
                   const std::string& separator) {
    std::string copy = text;
    std::string delimiters = separator;
    if (separator.size() >= 2) {
        copy = ReplaceAll(copy, separator, SPLIT_MARK);
        delimiters.assign(1, SPLIT_MARK);
    }
    // The tokenizer stops at the first NUL, like the C string the text stands for.
    char* context = nullptr;
    for (char* token = strtok_s(&copy[0], delimiters.c_str(), &context); token != nullptr;
         token = strtok_s(nullptr, delimiters.c_str(), &context)) {
        fields.emplace_back(token);
    }
    return fields.size();
}

size_t SplitFields(const std::wstring& text, std::vector<std::wstring>& fields,
                   const std::wstring& separator) {
    std::wstring copy = text;
    std::wstring delimiters = separator;
    if (separator.size() >= 2) {
        copy = ReplaceAll(copy, separator, SPLIT_MARK_WIDE);
        delimiters.assign(1, SPLIT_MARK_WIDE);
    }
    wchar_t* context = nullptr;
    for (wchar_t* token = wcstok_s(&copy[0], delimiters.c_str(), &context); token != nullptr;
         token = wcstok_s(nullptr, delimiters.c_str(), &context)) {
        fields.emplace_back(token);
    }
    return fields.size();
}
