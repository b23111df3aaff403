#include "engine/run_lock.h"

#include <windows.h>

#include <vector>

#include "support/debug_trace.h"
#include "support/encoding.h"
#include "support/md5.h"
#include "support/paths.h"

namespace {

constexpr wchar_t GLOBAL_PREFIX[] = L"Global\\veldraupdate-run-";
constexpr wchar_t LOCAL_PREFIX[] = L"Local\\veldraupdate-run-";

// The folder as the file system names it, short names and links resolved;
// the resolved text when the folder cannot be opened.
std::wstring CanonicalFolder(const std::wstring& folder) {
    UniqueHandle handle(CreateFileW(folder.c_str(), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (handle.valid()) {
        std::vector<wchar_t> name(MAX_PATH);
        DWORD length = GetFinalPathNameByHandleW(handle.get(), name.data(),
                                                 static_cast<DWORD>(name.size()), 0);
        if (length >= name.size()) {
            name.resize(length + 1);
            length = GetFinalPathNameByHandleW(handle.get(), name.data(),
                                               static_cast<DWORD>(name.size()), 0);
        }
        if (length > 0 && length < name.size()) return std::wstring(name.data(), length);
    }
    return FullPath(folder);
}

HANDLE CreateRunMutex(const wchar_t* prefix, const std::wstring& key) {
    return CreateMutexW(nullptr, FALSE, (prefix + key).c_str());
}

}  // namespace

std::wstring RunLockName(const std::wstring& productFolder) {
    std::wstring folder = CanonicalFolder(productFolder);
    while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
    if (!folder.empty()) CharUpperBuffW(&folder[0], static_cast<DWORD>(folder.size()));
    // A path may hold what a name may not (separators) and be longer.
    return AnsiToWide(Md5Hex(WideToUtf8(folder)));
}

RunLock::RunLock(const std::wstring& productFolder) {
    const std::wstring key = RunLockName(productFolder);
    // Global, so a run in another session (another user's, a service's) is
    // seen; where that namespace is refused, at least this session's are.
    mutex_.reset(CreateRunMutex(GLOBAL_PREFIX, key));
    if (!mutex_.valid()) mutex_.reset(CreateRunMutex(LOCAL_PREFIX, key));
    if (!mutex_.valid()) {
        DebugTrace("run lock: none could be made (error %lu)\n", GetLastError());
        return;
    }
    const DWORD waited = WaitForSingleObject(mutex_.get(), INFINITE);
    held_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
}

RunLock::~RunLock() {
    if (held_) ReleaseMutex(mutex_.get());
}
