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

std::wstring FullPath(const std::wstring& path) {
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return std::wstring();
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
    if (length == 0 || length >= needed) return std::wstring();
    full.resize(length);
    return full;
}

bool LiesBelow(const std::wstring& directory, const std::wstring& path, CheckedFolders* checked) {
    std::wstring base = FullPath(directory);
    const std::wstring full = FullPath(path);
    if (base.empty() || full.empty()) return false;
    if (base.back() != L'\\') base += L'\\';
    if (full.size() <= base.size() || _wcsnicmp(full.c_str(), base.c_str(), base.size()) != 0) {
        return false;
    }
    // The text lies below; a folder on the way that is a link may still lead
    // outside. Folders that do not exist yet are created as plain ones.
    for (size_t end = full.find(L'\\', base.size()); end != std::wstring::npos;
         end = full.find(L'\\', end + 1)) {
        const std::wstring folder = full.substr(0, end);
        if (checked && checked->count(folder) != 0) continue;
        const DWORD attributes = GetFileAttributesW(folder.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) break;
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return false;
        if (checked) checked->insert(folder);
    }
    return true;
}
