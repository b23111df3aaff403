// What the tests share: temp folders in the Wine prefix, files, child processes.
#pragma once

#include <windows.h>

#include <string>

// A new empty folder under the temp directory, ending with "\".
std::wstring MakeTempDir(const std::wstring& label);
void RemoveTree(const std::wstring& directory);

bool WriteBytes(const std::wstring& path, const std::string& bytes);
std::string ReadBytes(const std::wstring& path);  // empty when missing
bool FileExists(const std::wstring& path);
// Whether any file matches a pattern with wildcards (dir + L"~tmp.*.new").
bool AnyFileMatches(const std::wstring& pattern);

// False where the platform lets anyone write a read-only file (Wine run by root).
bool ReadOnlyFilesAreEnforced();

// Full path of the running test executable and of its folder (build/bin\).
std::wstring ThisExePath();
std::wstring BinDir();

struct ProcessResult {
    bool started = false;
    bool timedOut = false;  // killed after the time-out
    DWORD exitCode = 0;
    std::string output;  // standard output and error together
};

// Runs commandLine (exe path quoted by the caller where needed) in workDir,
// waits at most timeoutMs, and collects its output through a file.
ProcessResult RunProcess(const std::wstring& commandLine, const std::wstring& workDir,
                         DWORD timeoutMs = 60000);

// Polls condition every 50 ms for at most timeoutMs; true when it held.
template <typename Condition>
bool WaitFor(Condition condition, DWORD timeoutMs) {
    for (DWORD waited = 0;; waited += 50) {
        if (condition()) return true;
        if (waited >= timeoutMs) return false;
        Sleep(50);
    }
}
