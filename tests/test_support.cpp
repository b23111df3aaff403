#include "tests/test_support.h"

#include <filesystem>
#include <fstream>
#include <vector>

#include "support/unique_handle.h"

std::wstring MakeTempDir(const std::wstring& label) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    static unsigned counter = 0;
    // Wine hands a finished process's id to the next one soon: the start time
    // keeps a later test program out of the folders of an earlier one, where a
    // child it left behind may still be at work.
    static const ULONGLONG started = GetTickCount64();
    for (;;) {
        std::wstring dir = std::wstring(temp) + L"veldra-" + label + L"-" +
                           std::to_wstring(GetCurrentProcessId()) + L"-" +
                           std::to_wstring(started) + L"-" + std::to_wstring(++counter) + L"\\";
        if (CreateDirectoryW(dir.c_str(), nullptr)) return dir;
        if (GetLastError() != ERROR_ALREADY_EXISTS) return std::wstring();
    }
}

void RemoveTree(const std::wstring& directory) {
    std::error_code error;
    for (auto& entry : std::filesystem::recursive_directory_iterator(directory, error)) {
        SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    std::filesystem::remove_all(directory, error);
}

namespace {

// Test programs run side by side in one Wine prefix, and the engine fetches
// through one fixed file name in the temp folder: each test program, and the
// children it starts, work in a temp folder of its own, removed at its end.
class OwnTempFolder {
  public:
    OwnTempFolder() {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        folder_ = std::wstring(temp) + L"veldra-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                  std::to_wstring(GetTickCount64());
        if (!CreateDirectoryW(folder_.c_str(), nullptr)) {
            folder_.clear();
            return;
        }
        SetEnvironmentVariableW(L"TMP", folder_.c_str());
        SetEnvironmentVariableW(L"TEMP", folder_.c_str());
    }
    OwnTempFolder(const OwnTempFolder&) = delete;
    OwnTempFolder& operator=(const OwnTempFolder&) = delete;
    ~OwnTempFolder() {
        if (!folder_.empty()) RemoveTree(folder_);
    }

  private:
    std::wstring folder_;
};

const OwnTempFolder ownTempFolder;

}  // namespace

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    std::error_code error;
    std::filesystem::path p(path);
    if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path(), error);
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::string ReadBytes(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool AnyFileMatches(const std::wstring& pattern) {
    WIN32_FIND_DATAW found = {};
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    FindClose(search);
    return true;
}

bool ReadOnlyFilesAreEnforced() {
    const std::wstring dir = MakeTempDir(L"read-only-probe");
    const std::wstring probe = dir + L"probe.txt";
    WriteBytes(probe, "probe");
    SetFileAttributesW(probe.c_str(), FILE_ATTRIBUTE_READONLY);
    const bool writable = UniqueHandle(CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr,
                                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr))
                              .valid();
    RemoveTree(dir);
    return !writable;
}

std::wstring ThisExePath() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

std::wstring BinDir() {
    std::wstring path = ThisExePath();
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

ProcessResult RunProcess(const std::wstring& commandLine, const std::wstring& workDir,
                         DWORD timeoutMs) {
    ProcessResult result;
    std::wstring outputDir = MakeTempDir(L"out");
    std::wstring outputPath = outputDir + L"output.txt";
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    UniqueHandle output(CreateFileW(outputPath.c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    // The child inherits its output and nothing else: a file another thread of
    // the test happens to hold open (the C runtime's handles are inheritable)
    // would stay open for the child's whole life and block renames over it.
    HANDLE inherited = output.get();
    SIZE_T listSize = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
    std::vector<unsigned char> listBytes(listSize);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listBytes.data());
    const bool listed = InitializeProcThreadAttributeList(list, 1, 0, &listSize) &&
                        UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                                  &inherited, sizeof(inherited), nullptr, nullptr);
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdOutput = output.get();
    startup.StartupInfo.hStdError = output.get();
    startup.lpAttributeList = list;
    PROCESS_INFORMATION process = {};
    std::wstring mutableLine = commandLine;
    result.started = listed && CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, TRUE,
                                              EXTENDED_STARTUPINFO_PRESENT, nullptr,
                                              workDir.empty() ? nullptr : workDir.c_str(),
                                              &startup.StartupInfo, &process) != FALSE;
    if (listed) DeleteProcThreadAttributeList(list);
    output.reset();
    if (result.started) {
        UniqueHandle processHandle(process.hProcess);
        UniqueHandle threadHandle(process.hThread);
        if (WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0) {
            result.timedOut = true;
            TerminateProcess(process.hProcess, 1);
            WaitForSingleObject(process.hProcess, 5000);
        }
        GetExitCodeProcess(process.hProcess, &result.exitCode);
    }
    result.output = ReadBytes(outputPath);
    RemoveTree(outputDir);
    return result;
}
