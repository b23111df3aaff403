#include "support/map_txt_file.h"

#include <windows.h>

#include <cwchar>
#include <vector>

#include "support/archive_writer.h"
#include "support/debug_trace.h"
#include "support/encoding.h"
#include "support/fields.h"
#include "support/file_io.h"

namespace {

constexpr unsigned GBK_CODE_PAGE = 936;

}  // namespace

template <typename CharT>
CMapTxtFile<CharT>::~CMapTxtFile() {
    if (path) Save();
}

template <typename CharT>
typename CMapTxtFile<CharT>::String CMapTxtFile<CharT>::GetValue(const String& key) const {
    const auto found = values.find(key);
    return found == values.end() ? String() : found->second;
}

template <typename CharT>
void CMapTxtFile<CharT>::SetPassword(const char* newPassword) {
    hasPassword = newPassword != nullptr && newPassword[0] != '\0';
    password = hasPassword ? newPassword : "";
}

template <typename CharT>
void CMapTxtFile<CharT>::Load(const wchar_t* filePath) {
    if (filePath == nullptr || wcslen(filePath) < 3) return;
    path = std::make_unique<std::wstring>(filePath);
    unreadable = false;
    if (separator.empty()) return;

    std::vector<std::string> lines;
    if (!ReadLines(*path, lines)) {
        // Present yet not readable (held without read sharing): keep it as it is.
        unreadable = GetFileAttributesW(path->c_str()) != INVALID_FILE_ATTRIBUTES;
        return;
    }
    // The diagnostic is Chinese on every system, so its bytes are always GBK.
    const std::string message =
        WideToCodePage(L"读取配对文件行(%d):%s出现问题, 跳过", GBK_CODE_PAGE);
    int number = 0;
    for (const std::string& line : lines) {
        ++number;
        std::vector<std::string> fields;
        const size_t count = SplitFields(line, fields, separator);
        if (count == 0) continue;
        if (count == 2) {
            values[fields[0]] = fields[1];
            continue;
        }
        DebugTrace("Erro**:\t");
        DebugTrace(message.c_str(), number, line.c_str());
        DebugTrace("\r\n");
    }
}

template <typename CharT>
void CMapTxtFile<CharT>::Save() {
    if (unreadable) return;
    String text;
    for (const auto& entry : values) {
        text += entry.first;
        text += separator;
        text += entry.second;
        text += "\r\n";
    }
    if (hasPassword) {
        // The whole text as one entry; CloseArchive also settles a failed create.
        ArchiveHandle* archive = CreateArchive(path->c_str(), password.c_str());
        if (archive != nullptr) AddArchiveEntry(archive, L"qz", text.data(), text.size());
        CloseArchive(archive);
        return;
    }
    // A missing folder is not made: the settings live where the product put them.
    const size_t slash = path->find_last_of(L"\\/");
    if (slash != std::wstring::npos &&
        GetFileAttributesW(path->substr(0, slash + 1).c_str()) == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    // Written aside and renamed over the file: a process ended mid-write (the
    // dialog closed, a kill) leaves the old settings or the new, never half.
    ReplaceWithBytes(*path, text.data(), text.size());
}

template class CMapTxtFile<char>;

CMapTxtFileA::CMapTxtFileA(const std::wstring& filePath) {
    separator = "=";
    if (!filePath.empty()) Load(filePath.c_str());
}
