// The language rule, the installed-version text, the shell messages and the
// control ids of the main dialog that the update engine addresses.
#pragma once

#include <windows.h>

#include <string>

constexpr int IDD_MAIN = 103;
constexpr int IDC_STATUS = 1174;
constexpr int IDC_PATH = 1002;
constexpr int IDC_BROWSE = 1004;
constexpr int IDC_DOWNLOAD_PACKAGE = 1012;
constexpr int IDC_START = 1003;

enum ShellMessage { MSG_UPDATING = 0, MSG_CAPTION = 1, MSG_START_UPDATE = 2 };

// Chinese when the primary language (low byte) of the language id is 4.
bool IsChineseLanguage(LANGID language);
// The rule applied to GetSystemDefaultLangID().
bool SystemUsesChinese();

// Process-wide, written before the dialog exists and only read afterwards.
extern std::wstring InstalledVersion;  // "0.0" until start-up reads config/config.ini
extern bool UseChineseTexts;           // the language rule, computed before the entry point

// The format text of a message in the language the rule gives now.
const wchar_t* ShellMessageText(ShellMessage message);
const wchar_t* ShellMessageText(ShellMessage message, bool chinese);

// MSG_CAPTION and MSG_START_UPDATE with the installed and the server version,
// cut to 255 units when they do not fit.
std::wstring FormatVersionMessage(ShellMessage message, const std::wstring& installed,
                                  double serverVersion);
