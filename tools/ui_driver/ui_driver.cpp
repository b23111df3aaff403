// Drives the updater's main dialog for tests, one step per argument group,
// optionally after "--folder DIR" (only programs below DIR count):
//   ui_driver show [ms]                     wait for the dialog, print its texts
//   ui_driver press ID                      click a control of the dialog
//   ui_driver wait-status TEXT ms           wait until the status line contains TEXT
//   ui_driver wait-caption TEXT ms          wait until the caption contains TEXT
//   ui_driver wait-enabled ID ms            wait until the control is enabled
//   ui_driver wait-box CAPTION ms           wait for a message box and print it
//   ui_driver answer CAPTION yes|no|ok ms   wait for a message box, print and answer it
//   ui_driver wait-gone ms                  wait until no main dialog is left
//   ui_driver sleep ms                      wait that long
//   ui_driver wait-file PATH ms             wait until PATH (wildcards: a match) exists (checked every ms)
//   ui_driver wait-change PATH ms           wait until PATH is made, removed or changes
//                                           its size or write time (checked every ms)
//   ui_driver kill                          end the dialog's process (TerminateProcess)
//   ui_driver launch NAME=VALUE... -- PROGRAM [ARGS...]
//                                           run PROGRAM with these variables set (the
//                                           last step), wait for it and end with its code
// Texts are UTF-8 on the command line and in the output. Exit code 0 when every
// step succeeded, 1 at the first step that failed or timed out, 2 on bad usage.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <string>

#include "support/shell_texts.h"
#include "tools/ui_driver/dialog_access.h"
#include "support/encoding.h"

namespace {

void Print(const char* name, const std::wstring& value) {
    std::printf("%s=%s\n", name, WideToUtf8Paired(value).c_str());
    std::fflush(stdout);
}

DWORD Milliseconds(const wchar_t* text) {
    const long value = std::wcstol(text, nullptr, 10);
    return value > 0 && value <= 600000 ? static_cast<DWORD>(value) : 10000;
}

int Fail(const char* step) {
    std::printf("FAILED %s\n", step);
    std::fflush(stdout);
    return 1;
}

void PrintDialog(HWND dialog) {
    DWORD processId = 0;
    GetWindowThreadProcessId(dialog, &processId);
    std::printf("pid=%lu\n", processId);
    Print("caption", WindowText(dialog));
    Print("status", ControlText(dialog, IDC_STATUS));
    Print("path", ControlText(dialog, IDC_PATH));
    Print("start", ControlText(dialog, IDC_START));
    std::printf("start_enabled=%d\nexit_enabled=%d\n", ControlEnabled(dialog, IDC_START) ? 1 : 0,
                ControlEnabled(dialog, IDOK) ? 1 : 0);
    std::fflush(stdout);
}

constexpr DWORD LAUNCH_WAIT_MS = 600000;
constexpr DWORD KILL_WAIT_MS = 10000;

// What the file system shows of a path: absent, or its size and write time.
struct PathState {
    bool exists = false;
    unsigned long long size = 0;
    unsigned long long written = 0;
    bool operator==(const PathState& other) const {
        return exists == other.exists && size == other.size && written == other.written;
    }
};

// A path with wildcards stands for the first file it matches.
PathState StateOf(const std::wstring& path) {
    PathState state;
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (path.find_first_of(L"*?") != std::wstring::npos) {
        WIN32_FIND_DATAW found = {};
        HANDLE search = FindFirstFileW(path.c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) return state;
        FindClose(search);
        data.nFileSizeHigh = found.nFileSizeHigh;
        data.nFileSizeLow = found.nFileSizeLow;
        data.ftLastWriteTime = found.ftLastWriteTime;
    } else if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return state;
    }
    state.exists = true;
    state.size = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    state.written = (static_cast<unsigned long long>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                    data.ftLastWriteTime.dwLowDateTime;
    return state;
}

// Polls condition every millisecond for at most timeoutMs: a file that is
// written for a moment only is still seen.
template <typename Condition>
bool WaitClosely(Condition condition, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (GetTickCount64() >= end) return false;
        Sleep(1);
    }
    return true;
}

bool KillDialogProcess() {
    HWND dialog = FindMainDialog(0);
    DWORD processId = 0;
    if (dialog == nullptr || GetWindowThreadProcessId(dialog, &processId) == 0) return false;
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId);
    if (process == nullptr) return false;
    const bool ended =
        TerminateProcess(process, 1) && WaitForSingleObject(process, KILL_WAIT_MS) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

// Runs the rest of the command line as a program of its own: Wine passes no
// TMP or TEMP of the host to Windows programs, so they are set here.
int Launch(int argc, wchar_t** argv, int at) {
    for (; at < argc && std::wstring(argv[at]) != L"--"; ++at) {
        const std::wstring assignment = argv[at];
        const size_t equals = assignment.find(L'=');
        if (equals == std::wstring::npos) return 2;
        SetEnvironmentVariableW(assignment.substr(0, equals).c_str(),
                                assignment.substr(equals + 1).c_str());
    }
    if (++at >= argc) return 2;
    std::wstring commandLine;
    for (; at < argc; ++at) {
        if (!commandLine.empty()) commandLine += L' ';
        commandLine += L"\"" + std::wstring(argv[at]) + L"\"";
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return Fail("launch");
    }
    CloseHandle(process.hThread);
    if (WaitForSingleObject(process.hProcess, LAUNCH_WAIT_MS) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 1);
        CloseHandle(process.hProcess);
        return Fail("launch");
    }
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

int Answer(const std::wstring& answer) {
    if (answer == L"yes") return IDYES;
    if (answer == L"no") return IDNO;
    if (answer == L"cancel") return IDCANCEL;
    return IDOK;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    int first = 1;
    if (argc >= 3 && std::wstring(argv[1]) == L"--folder") {
        SetProcessFolder(argv[2]);
        first = 3;
    }
    for (int at = first; at < argc;) {
        const std::wstring step = argv[at++];
        const auto argument = [&](int index) -> const wchar_t* {
            return at + index < argc ? argv[at + index] : L"";
        };
        if (step == L"show") {
            const bool hasTime = at < argc && iswdigit(argv[at][0]);
            HWND dialog = WaitForMainDialog(0, hasTime ? Milliseconds(argv[at]) : 20000);
            if (hasTime) ++at;
            if (dialog == nullptr) return Fail("show");
            PrintDialog(dialog);
        } else if (step == L"press") {
            HWND dialog = FindMainDialog(0);
            if (dialog == nullptr || at >= argc) return Fail("press");
            PressButton(dialog, std::wcstol(argv[at++], nullptr, 10));
        } else if (step == L"wait-status" || step == L"wait-caption") {
            if (at + 1 >= argc) return 2;
            const std::wstring part = argument(0);
            const DWORD timeout = Milliseconds(argument(1));
            at += 2;
            const bool status = step == L"wait-status";
            std::wstring last;
            const bool seen = WaitUntil(
                [&] {
                    HWND dialog = FindMainDialog(0);
                    if (dialog == nullptr) return false;
                    last = status ? ControlText(dialog, IDC_STATUS) : WindowText(dialog);
                    return last.find(part) != std::wstring::npos;
                },
                timeout);
            Print(status ? "status" : "caption", last);
            if (!seen) return Fail(status ? "wait-status" : "wait-caption");
        } else if (step == L"wait-enabled") {
            if (at + 1 >= argc) return 2;
            const int id = std::wcstol(argument(0), nullptr, 10);
            const DWORD timeout = Milliseconds(argument(1));
            at += 2;
            const bool enabled = WaitUntil(
                [&] {
                    HWND dialog = FindMainDialog(0);
                    return dialog != nullptr && ControlEnabled(dialog, id);
                },
                timeout);
            if (!enabled) return Fail("wait-enabled");
        } else if (step == L"wait-box") {
            if (at + 1 >= argc) return 2;
            const std::wstring caption = argument(0);
            const DWORD timeout = Milliseconds(argument(1));
            at += 2;
            HWND box = nullptr;
            WaitUntil([&] { return (box = FindMessageBox(0, caption)) != nullptr; }, timeout);
            if (box == nullptr) return Fail("wait-box");
            Print("box_caption", WindowText(box));
            Print("box_text", MessageBoxText(box));
        } else if (step == L"answer") {
            if (at + 2 >= argc) return 2;
            const std::wstring caption = argument(0);
            const int answer = Answer(argument(1));
            const DWORD timeout = Milliseconds(argument(2));
            at += 3;
            HWND box = nullptr;
            WaitUntil([&] { return (box = FindMessageBox(0, caption)) != nullptr; }, timeout);
            if (box == nullptr) return Fail("answer");
            Print("box_caption", WindowText(box));
            Print("box_text", MessageBoxText(box));
            AnswerMessageBox(box, answer);
        } else if (step == L"launch") {
            return Launch(argc, argv, at);
        } else if (step == L"sleep") {
            const long ms = std::wcstol(argument(0), nullptr, 10);
            Sleep(ms > 0 && ms <= 600000 ? static_cast<DWORD>(ms) : 0);
            ++at;
        } else if (step == L"wait-file" || step == L"wait-change") {
            if (at + 1 >= argc) return 2;
            const std::wstring path = argument(0);
            const DWORD timeout = Milliseconds(argument(1));
            at += 2;
            const PathState before = StateOf(path);
            const bool file = step == L"wait-file";
            if (!WaitClosely(
                    [&] { return file ? StateOf(path).exists : !(StateOf(path) == before); },
                    timeout)) {
                return Fail(file ? "wait-file" : "wait-change");
            }
        } else if (step == L"kill") {
            if (!KillDialogProcess()) return Fail("kill");
        } else if (step == L"wait-gone") {
            const DWORD timeout = Milliseconds(argument(0));
            ++at;
            if (!WaitUntil([] { return FindMainDialog(0) == nullptr; }, timeout)) {
                return Fail("wait-gone");
            }
        } else {
            return 2;
        }
    }
    return 0;
}
