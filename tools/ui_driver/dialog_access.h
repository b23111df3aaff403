// Reaching the updater's main dialog from another process: finding it by its
// control ids, reading its texts, pressing its buttons, answering its message box.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Limits the searches with process id 0 to processes whose executable lies in
// folder (ending with "\\"); empty: any process.
void SetProcessFolder(const std::wstring& folder);

// The visible main dialog of process processId (0: any process), or null.
HWND FindMainDialog(DWORD processId);
// Polls FindMainDialog every 50 ms for at most timeoutMs.
HWND WaitForMainDialog(DWORD processId, DWORD timeoutMs);

std::wstring WindowText(HWND window);
std::wstring ControlText(HWND dialog, int id);
bool ControlEnabled(HWND dialog, int id);
// The control ids of the dialog's children in their window (tab) order.
std::vector<int> ChildIds(HWND dialog);

// Posts the button's click to the dialog, as a mouse click would reach it.
void PressButton(HWND dialog, int id);

// A visible message box (dialog class, no IDC_STATUS) of processId whose
// caption contains captionPart (empty: any), or null.
HWND FindMessageBox(DWORD processId, const std::wstring& captionPart);
// The message box's text (its static control 0xFFFF).
std::wstring MessageBoxText(HWND box);
// Answers the message box with IDYES, IDNO, IDOK, ...
void AnswerMessageBox(HWND box, int answer);

// Polls condition every 50 ms for at most timeoutMs; true when it held.
template <typename Condition>
bool WaitUntil(Condition condition, DWORD timeoutMs) {
    for (DWORD waited = 0;; waited += 50) {
        if (condition()) return true;
        if (waited >= timeoutMs) return false;
        Sleep(50);
    }
}
