#include "support/shell_texts.h"

#include <stdio.h>

namespace {

// Entry message * 2 + 1 holds the Chinese text, + 0 the English one.
const wchar_t* const MESSAGE_TABLE[] = {
    L"Updating, Please wait...",
    L"正在更新中, 请稍等...",
    L"Veldra auto update tools v1.31, location version %s. Latest version %.2f",
    L"Veldra图纸升级工具v1.31 本地版本: %s, 服务器版本:%.2f",
    L"Veldra auto update toolsv1.31, current version %s. trying update to version %.2f.",
    L"Veldra图动升级工具v1.31  本地图纸版本:%s, 正在更新的图纸版本%.2f",
};

constexpr int MESSAGE_COUNT = 3;
constexpr size_t TEXT_BUFFER_UNITS = 256;

}  // namespace

bool IsChineseLanguage(LANGID language) { return (language & 0xFF) == LANG_CHINESE; }

bool SystemUsesChinese() { return IsChineseLanguage(GetSystemDefaultLangID()); }

std::wstring InstalledVersion = L"0.0";
bool UseChineseTexts = SystemUsesChinese();

const wchar_t* ShellMessageText(ShellMessage message, bool chinese) {
    int index = static_cast<int>(message);
    if (index < 0 || index >= MESSAGE_COUNT) return L"";
    return MESSAGE_TABLE[index * 2 + (chinese ? 1 : 0)];
}

const wchar_t* ShellMessageText(ShellMessage message) {
    return ShellMessageText(message, SystemUsesChinese());
}

std::wstring FormatVersionMessage(ShellMessage message, const std::wstring& installed,
                                  double serverVersion) {
    wchar_t buffer[TEXT_BUFFER_UNITS] = {};
    _snwprintf_s(buffer, TEXT_BUFFER_UNITS, _TRUNCATE, ShellMessageText(message), installed.c_str(),
                 serverVersion);
    return buffer;
}
