#include "engine/file_downloads.h"

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <stdio.h>
#include <sys/stat.h>

#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

#include "support/shell_texts.h"
#include "engine/delta_fetch.h"
#include "engine/download.h"
#include "engine/server_endpoints.h"
#include "support/encoding.h"
#include "support/md5.h"
#include "support/paths.h"
#include "support/unique_handle.h"

namespace {

constexpr size_t STATUS_TEXT_UNITS = 256;
constexpr size_t ERROR_LINE_BYTES = 256;
constexpr char LOG_NAME_FIRST_LINE[] = "    about err";
constexpr char LOG_LEAD_BYTES[4] = {'\xEF', '\xBB', '\xBF', '\0'};

// A cut text must not end in half a character.
void DropBrokenTail(std::wstring& text) {
    if (!text.empty() && text.back() >= 0xD800 && text.back() <= 0xDBFF) text.pop_back();
}

void DropBrokenTail(std::string& text) {
    size_t lead = text.size();
    size_t continuation = 0;
    while (lead > 0 && (static_cast<unsigned char>(text[lead - 1]) & 0xC0) == 0x80 &&
           continuation < 3) {
        --lead;
        ++continuation;
    }
    if (lead == 0) return;
    unsigned char first = static_cast<unsigned char>(text[lead - 1]);
    size_t needed = 0;
    if ((first & 0xE0) == 0xC0) {
        needed = 1;
    } else if ((first & 0xF0) == 0xE0) {
        needed = 2;
    } else if ((first & 0xF8) == 0xF0) {
        needed = 3;
    } else {
        return;
    }
    if (continuation < needed) text.resize(lead - 1);
}

void ShowStatus(HWND dialog, const wchar_t* format, const wchar_t* text, int code) {
    wchar_t buffer[STATUS_TEXT_UNITS] = {};
    int written = _snwprintf_s(buffer, STATUS_TEXT_UNITS, _TRUNCATE, format, text, code);
    std::wstring status(buffer);
    if (written < 0) DropBrokenTail(status);
    SetDlgItemTextW(dialog, IDC_STATUS, status.c_str());
}

std::string DownErrorLine(int result, const QueuedFile& file, const std::string& localMd5) {
    char buffer[ERROR_LINE_BYTES] = {};
    int written = _snprintf_s(
        buffer, ERROR_LINE_BYTES, _TRUNCATE, "down err (%d)Jsomd5: %s,fileName: %s,local md5:%s",
        result, file.expectedMd5.c_str(), file.relativePath.c_str(), localMd5.c_str());
    std::string line(buffer);
    if (written < 0) DropBrokenTail(line);
    return line;
}

std::string ThrowErrorLine(const QueuedFile& file) {
    char buffer[ERROR_LINE_BYTES] = {};
    int written =
        _snprintf_s(buffer, ERROR_LINE_BYTES, _TRUNCATE, "throw err (%d) Jsomd5: %s,fileName: %s",
                    0, file.expectedMd5.c_str(), file.relativePath.c_str());
    std::string line(buffer);
    if (written < 0) DropBrokenTail(line);
    return line;
}

bool WriteAll(int fd, const char* bytes, size_t length) {
    return _write(fd, bytes, static_cast<unsigned int>(length)) == static_cast<int>(length);
}

// Rewrites the whole log: the first line goes out with four blanks that are
// then overwritten by the byte-order mark and a zero byte.
void WriteErrorLog(const std::wstring& exeDirectory, std::vector<std::string>& lines) {
    lines.insert(lines.begin(), LOG_NAME_FIRST_LINE);
    std::wstring logPath = JoinPath(exeDirectory, L"updateErr.log");
    {
        int fd = -1;
        if (_wsopen_s(&fd, logPath.c_str(), _O_WRONLY | _O_BINARY | _O_CREAT | _O_TRUNC, _SH_DENYWR,
                      _S_IREAD | _S_IWRITE) != 0)
            return;
        UniqueFd log(fd);
        for (const std::string& line : lines) {
            if (!WriteAll(log.get(), line.data(), line.size()) || !WriteAll(log.get(), "\r\n", 2))
                break;
        }
    }
    int fd = -1;
    if (_wsopen_s(&fd, logPath.c_str(), _O_WRONLY | _O_BINARY, _SH_DENYWR, 0) != 0) return;
    UniqueFd log(fd);
    if (_lseek(log.get(), 0, SEEK_SET) == 0)
        WriteAll(log.get(), LOG_LEAD_BYTES, sizeof(LOG_LEAD_BYTES));
}

bool IsUpdaterItself(const std::string& relativePath) {
    return relativePath.find(u8"Veldra升级.exe") != std::string::npos ||
           relativePath.find("veldraupdate.exe") != std::string::npos;
}

}  // namespace

void ReplaceAll(std::wstring& text, const std::wstring& find, const std::wstring& replacement) {
    if (find.empty()) return;
    size_t position = 0;
    while ((position = text.find(find, position)) != std::wstring::npos) {
        text.replace(position, find.size(), replacement);
        position += replacement.size();
    }
}

namespace {

// One listed file as the queue holds it, with the paths it is fetched by.
struct FileJob {
    const QueuedFile* file;
    std::wstring widePath;
    std::wstring localPath;
    std::wstring serverPath;
};

// Fetches one file with its status texts; the line it adds to the log, if any.
std::string FetchJob(const FileJob& job, ServerPatches& deltas, HWND dialog) {
    const QueuedFile& file = *job.file;
    if (UseChineseTexts) {
        ShowStatus(dialog, L"开始下载%s.....", job.widePath.c_str(), 0);
    } else {
        ShowStatus(dialog, L"downloading...", job.widePath.c_str(), 0);
    }

    // What the scan found of the local file spares reading it again.
    const FileStamp* knownDifferent = file.readAndDiffered ? &*file.readAndDiffered : nullptr;
    const std::wstring& localPath = job.localPath;
    int result = DOWNLOAD_OK;
    try {
        if (ContainsNoCase(localPath.c_str(), L"DLL") != nullptr) {
            // Cleared first so last run's hidden, read-only copy can be replaced.
            SetFileAttributesW(localPath.c_str(), FILE_ATTRIBUTE_NORMAL);
            result = FetchQueuedFile(deltas, file, job.serverPath, localPath, knownDifferent);
            SetFileAttributesW(localPath.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY);
        } else {
            result = FetchQueuedFile(deltas, file, job.serverPath, localPath, knownDifferent);
        }
        if (ContainsNoCase(localPath.c_str(), L"\\file/") != nullptr) return std::string();
        ShowStatus(
            dialog,
            UseChineseTexts ? L"%s下载完成完成！ 错误码%d" : L"%s downlaod finish! errcode%d",
            job.serverPath.c_str(), result);
        if (result != DOWNLOAD_OK) return DownErrorLine(result, file, Md5OfFile(localPath));
    } catch (...) {
        return ThrowErrorLine(file);
    }
    return std::string();
}

// Runs the jobs on workers threads (one: on this one), each taking the next
// job not yet taken; lines[i] receives job i's log line.
void RunJobs(const std::vector<FileJob>& jobs, size_t workers, ServerPatches& deltas, HWND dialog,
             std::vector<std::string>& lines) {
    std::atomic<size_t> next{0};
    const auto work = [&] {
        // A thread of its own needs COM of its own; on the caller's it is kept.
        const ComScope com;
        for (size_t i = next++; i < jobs.size(); i = next++) {
            try {
                lines[i] = FetchJob(jobs[i], deltas, dialog);
            } catch (...) {
                lines[i] = ThrowErrorLine(*jobs[i].file);
            }
        }
    };
    std::vector<std::thread> pool;
    for (size_t i = 1; i < workers && i < jobs.size(); ++i) {
        try {
            pool.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // fewer workers, the same work
        }
    }
    work();
    for (std::thread& thread : pool) thread.join();
}

}  // namespace

int DownloadQueuedFiles(const DownloadQueue& queue, const std::wstring& exeDirectory, HWND dialog,
                        float serverVersion) {
    return DownloadQueuedFilesWith(queue, exeDirectory, dialog, serverVersion, FETCH_WORKERS);
}

int DownloadQueuedFilesWith(const DownloadQueue& queue, const std::wstring& exeDirectory,
                            HWND dialog, float serverVersion, size_t workers) {
    wchar_t versionPrefix[STATUS_TEXT_UNITS] = {};
    _snwprintf_s(versionPrefix, STATUS_TEXT_UNITS, _TRUNCATE, PRODUCT_FILE_PATH_FORMAT,
                 UPDATE_PATH_PREFIX, VersionDirectory(serverVersion));

    std::vector<FileJob> jobs;
    CheckedFolders plainFolders;
    for (const QueuedFile& file : queue) {
        if (IsUpdaterItself(file.relativePath)) continue;
        FileJob job{&file, Utf8ToWide(file.relativePath), std::wstring(), std::wstring()};
        // The list is checked already; a queue from elsewhere gets the same guard.
        if (!IsSafeRelativePath(job.widePath)) continue;
        job.localPath = JoinPath(exeDirectory, job.widePath);
        if (!LiesBelow(exeDirectory, job.localPath, &plainFolders) ||
            IsUpdaterOwnFile(exeDirectory, job.localPath))
            continue;
        job.serverPath = versionPrefix + job.widePath;
        ReplaceAll(job.serverPath, L"\\", L"/");
        jobs.push_back(std::move(job));
    }
    if (jobs.empty()) return 0;

    ServerPatches deltas{versionPrefix};
    const ComScope com;
    FetchPatchIndex(deltas);
    std::vector<std::string> lines(jobs.size());
    RunJobs(jobs, workers, deltas, dialog, lines);

    // In the queue's order, whichever file ended first.
    std::vector<std::string> errorLines;
    for (std::string& line : lines) {
        if (!line.empty()) errorLines.push_back(std::move(line));
    }
    if (!errorLines.empty()) WriteErrorLog(exeDirectory, errorLines);
    return 0;
}
