#include "app/main_dialog.h"

#include <process.h>
#include <shellapi.h>
#include <shlobj.h>

#include <string>

#include "app/dialog_placement.h"
#include "app/install_directory.h"
#include "support/shell_texts.h"
#include "engine/server_endpoints.h"
#include "engine/update_worker.h"
#include "engine/version_check.h"

namespace {

constexpr int PATH_BOX_UNITS = 256;
constexpr wchar_t BROWSE_TITLE_CHINESE[] = L"选择安装路径!";
constexpr wchar_t BROWSE_TITLE_ENGLISH[] = L"select setup path!";

void CentreOnParent(HWND dialog) {
    HWND parent = GetParent(dialog);
    if (parent == nullptr) parent = GetDesktopWindow();
    RECT parentRect{};
    RECT dialogRect{};
    GetWindowRect(parent, &parentRect);
    GetWindowRect(dialog, &dialogRect);
    const POINT position = CenteredPosition(parentRect, dialogRect);
    SetWindowPos(dialog, nullptr, position.x, position.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

void BrowseForFolder(HWND dialog) {
    wchar_t current[PATH_BOX_UNITS] = {};
    GetDlgItemTextW(dialog, IDC_PATH, current, PATH_BOX_UNITS);

    wchar_t displayName[MAX_PATH] = {};
    BROWSEINFOW info{};
    info.hwndOwner = dialog;
    info.pszDisplayName = displayName;
    info.lpszTitle = SystemUsesChinese() ? BROWSE_TITLE_CHINESE : BROWSE_TITLE_ENGLISH;
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_EDITBOX | BIF_NEWDIALOGSTYLE;
    // The new dialog style needs COM on this thread; a failure leaves the picker usable.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    PIDLIST_ABSOLUTE picked = SHBrowseForFolderW(&info);
    if (picked != nullptr) {
        wchar_t chosen[MAX_PATH] = {};
        if (SHGetPathFromIDListW(picked, chosen)) {
            wcsncpy_s(current, PATH_BOX_UNITS, chosen, _TRUNCATE);
        }
        CoTaskMemFree(picked);
    }
    if (SUCCEEDED(com)) CoUninitialize();
    if (current[0] != L'\0') SetDlgItemTextW(dialog, IDC_PATH, current);
}

void OpenPackageDownload() {
    const std::wstring url = DownloadBaseUrl() + PACKAGE_PATH;
    ShellExecuteW(nullptr, L"open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void StartUpdate(HWND dialog) {
    HWND start = GetDlgItem(dialog, IDC_START);
    // One run at a time, also when a click reaches the disabled button as a
    // message: two runs would share the one temporary file of every fetch.
    if (!IsWindowEnabled(start)) return;
    // Detached: the worker either ends the process or re-enables IDC_START.
    const uintptr_t thread = _beginthreadex(nullptr, 0, UpdateWorker, dialog, 0, nullptr);
    if (thread != 0) CloseHandle(reinterpret_cast<HANDLE>(thread));
    EnableWindow(start, FALSE);
    EnableWindow(GetDlgItem(dialog, IDOK), TRUE);
}

}  // namespace

void OnInitDialog(HWND dialog) {
    VersionCheckResult version;
    CheckVersion(version);
    const std::wstring caption =
        FormatVersionMessage(MSG_CAPTION, InstalledVersion, version.serverVersion);
    SetWindowTextW(dialog, caption.c_str());
    SetDlgItemTextW(dialog, IDC_PATH, FindInstallDirectory().c_str());
    CentreOnParent(dialog);
}

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) {
        OnInitDialog(dialog);
    } else if (message == WM_COMMAND) {
        switch (LOWORD(wParam)) {
            case IDC_START:
                StartUpdate(dialog);
                break;
            case IDC_BROWSE:
                BrowseForFolder(dialog);
                break;
            case IDC_DOWNLOAD_PACKAGE:
                OpenPackageDownload();
                break;
            case IDOK:
            case IDCANCEL:
                EndDialog(dialog, LOWORD(wParam));
                break;
            default:
                break;
        }
    }
    // No initial focus is set and default processing applies to every message.
    return FALSE;
}
