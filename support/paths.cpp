#include "support/paths.h"

#include <windows.h>

namespace {

bool IsJoinSeparator(wchar_t c) { return c == L'\\' || c == L'/' || c == L'|'; }

}  // namespace

std::wstring DirectoryOf(const wchar_t* path) {
    std::wstring text;
    if (path == nullptr) {
        wchar_t module[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, module, MAX_PATH);
        text = module;
    } else {
        text = path;
    }
    const size_t cut = text.find_last_of(L"\\/");
    if (cut == std::wstring::npos) return text;
    return text.substr(0, cut + 1);
}

std::wstring ExeRelativePath(const std::wstring& name) {
    return JoinPath(DirectoryOf(nullptr), name);
}

std::wstring JoinPath(const std::wstring& directory, const std::wstring& name) {
    const bool nameLeads = !name.empty() && IsJoinSeparator(name.front());
    // A drive root such as C:\ takes the name without doubling its separator.
    if (directory.size() == 3 && directory[1] == L':' && IsJoinSeparator(directory[2]) &&
        nameLeads) {
        return directory + name.substr(1);
    }
    if (name.empty() || name.find(L':') != std::wstring::npos) return std::wstring();
    if (!directory.empty() && (IsJoinSeparator(directory.back()) || nameLeads)) {
        return directory + name;
    }
    return directory + L"\\" + name;
}

std::wstring MarkerPath(const std::wstring& path) {
    const size_t dot = path.rfind(L'.');
    if (dot == std::wstring::npos) return path + L"md5";
    return path.substr(0, dot + 1) + L"md5";
}
