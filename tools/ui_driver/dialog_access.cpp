#include "tools/ui_driver/dialog_access.h"

#include "support/shell_texts.h"

namespace {

constexpr wchar_t DIALOG_CLASS[] = L"#32770";

// The driver's one setting, made before any search.
std::wstring processFolder;

bool InProcessFolder(DWORD processId) {
    if (processFolder.empty()) return true;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == nullptr) return false;
    wchar_t image[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    const BOOL known = QueryFullProcessImageNameW(process, 0, image, &size);
    CloseHandle(process);
    return known && _wcsnicmp(image, processFolder.c_str(), processFolder.size()) == 0;
}

bool IsDialogOf(HWND window, DWORD processId) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (processId != 0 && owner != processId) return false;
    if (processId == 0 && !InProcessFolder(owner)) return false;
    wchar_t className[64] = {};
    GetClassNameW(window, className, 64);
    return wcscmp(className, DIALOG_CLASS) == 0 && IsWindowVisible(window);
}

struct Search {
    DWORD processId = 0;
    bool mainDialog = true;
    std::wstring captionPart;
    HWND found = nullptr;
};

BOOL CALLBACK Visit(HWND window, LPARAM parameter) {
    Search& search = *reinterpret_cast<Search*>(parameter);
    if (!IsDialogOf(window, search.processId)) return TRUE;
    // The main dialog is the one with the status line and the start button.
    const bool isMain =
        GetDlgItem(window, IDC_STATUS) != nullptr && GetDlgItem(window, IDC_START) != nullptr;
    if (isMain != search.mainDialog) return TRUE;
    if (!search.captionPart.empty() &&
        WindowText(window).find(search.captionPart) == std::wstring::npos) {
        return TRUE;
    }
    search.found = window;
    return FALSE;
}

}  // namespace

void SetProcessFolder(const std::wstring& folder) { processFolder = folder; }

HWND FindMainDialog(DWORD processId) {
    Search search;
    search.processId = processId;
    EnumWindows(Visit, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WaitForMainDialog(DWORD processId, DWORD timeoutMs) {
    HWND dialog = nullptr;
    WaitUntil([&] { return (dialog = FindMainDialog(processId)) != nullptr; }, timeoutMs);
    return dialog;
}

std::wstring WindowText(HWND window) {
    // WM_GETTEXT is carried across processes; GetWindowTextW is not for controls.
    wchar_t text[1024] = {};
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text),
                             SMTO_ABORTIFHUNG, 5000, &copied)) {
        return std::wstring();
    }
    return std::wstring(text, copied);
}

std::wstring ControlText(HWND dialog, int id) {
    HWND control = GetDlgItem(dialog, id);
    return control != nullptr ? WindowText(control) : std::wstring();
}

bool ControlEnabled(HWND dialog, int id) {
    HWND control = GetDlgItem(dialog, id);
    return control != nullptr && IsWindowEnabled(control);
}

std::vector<int> ChildIds(HWND dialog) {
    std::vector<int> ids;
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr && ids.size() < 64;
         child = GetWindow(child, GW_HWNDNEXT)) {
        ids.push_back(static_cast<short>(GetDlgCtrlID(child)));
    }
    return ids;
}

void PressButton(HWND dialog, int id) {
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

HWND FindMessageBox(DWORD processId, const std::wstring& captionPart) {
    Search search;
    search.processId = processId;
    search.mainDialog = false;
    search.captionPart = captionPart;
    EnumWindows(Visit, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::wstring MessageBoxText(HWND box) { return ControlText(box, 0xFFFF); }

void AnswerMessageBox(HWND box, int answer) {
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, answer)));
}
