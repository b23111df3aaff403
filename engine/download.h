// The one way bytes come from the network: urlmon through a temp file of each fetch's own.
#pragma once

#include <functional>
#include <string>

#include "support/file_io.h"

constexpr int DOWNLOAD_OK = 0;
constexpr int DOWNLOAD_EMPTY = -3;
constexpr int DOWNLOAD_MD5_MISMATCH = -1002;
constexpr int DOWNLOAD_WRITE_FAILED = -1003;

// Expected digest that always fetches and accepts whatever arrives.
constexpr char ANY_MD5[] = "0";

// What one fetch into memory came to.
struct FetchResult {
    int code = DOWNLOAD_EMPTY;
    // The body matched the length its server announced for it. Not so for a
    // body sent without one (chunked, or ended by closing the connection) nor
    // for one the platform decoded: such a body may have been cut short and
    // still read as complete.
    bool lengthChecked = false;
};

// COM started on this thread for as long as it lives; balanced only when this
// one started it. Each fetch holds one; a caller making many fetches holds one
// around them all, as starting COM afresh for each costs about as much as a
// small fetch.
class ComScope {
  public:
    ComScope();
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    ~ComScope();

  private:
    bool started_;
};

// Fetches url (narrow, already encoded) into buffer. 0 when at least one byte
// of a complete, successful (2xx) response arrived; else DOWNLOAD_EMPTY. A
// transfer that stalls, or (with a limit) brings more than limit bytes, is
// given up and gives DOWNLOAD_EMPTY; such a body is never read into memory.
FetchResult FetchBody(const std::string& url, std::string& buffer, size_t limit = 0);

// Lets this process keep connections files fetched side by side need open
// to one server (WinINet allows only 2 per HTTP/1.1 server on some Windows
// versions). Process-wide: called once at start, before any transfer.
void AllowParallelFetches(unsigned long connectionsPerServer);

// Removes from tempDir the temp files of fetches whose process has ended.
void RemoveEndedFetches(const std::wstring& tempDir);

// FetchBody for callers that need only the code.
int DownloadToMemory(const std::string& url, std::string& buffer, size_t limit = 0);

// A caller's own test that a body whose length could not be checked is whole.
using WholeBodyTest = std::function<bool(const std::string& body)>;

// Fetches DownloadBaseUrl() + urlPath into localPath unless the local file is
// current, and checks its digest. Returns 0, -3, -1002 or -1003. Fetched bytes
// take the file's place by replacement (PutFileByReplacement); where releases
// are signed, only bytes with expectedMd5 do, and a mismatch leaves the file
// as it was. Neither the local file nor the fetched one is held whole in
// memory; running out of memory elsewhere escapes as std::bad_alloc.
// knownDifferent: the stamp the local file had when it was last read whole and
// did not match expectedMd5; while it still has it, it is not read again.
// listedSize (0: unknown): a body whose length could not be checked and that
// has another size was cut short, DOWNLOAD_EMPTY, and never written.
// expectedSha256: in a build with a publisher key, fetched bytes must have it
// too (FetchedFileMatches); an empty one never matches there.
int DownloadFile(const std::wstring& urlPath, const std::wstring& localPath,
                 const std::string& expectedMd5, const FileStamp* knownDifferent = nullptr,
                 unsigned long long listedSize = 0,
                 const std::string& expectedSha256 = std::string());

// DownloadFile for callers that do not handle exceptions: running out of
// memory is a failed fetch (DOWNLOAD_EMPTY).
int DownloadFileReportingErrors(const std::wstring& urlPath, const std::wstring& localPath,
                                const std::string& expectedMd5);

// Puts content, already accepted by the caller, at localPath by replacement:
// staged under a name of this process's own beside localPath, flushed, then
// renamed over it. A process ended at any instant leaves the old file or the
// new one, whole; a link at localPath is replaced, its target untouched.
// False, with the file as it was, when it is read-only, held open without
// delete sharing, or cannot be written.
bool PutFileByReplacement(const std::wstring& localPath, const std::string& content);

// A file the updater takes without a digest (the file list, the main
// program): whatever arrives, or, in a build with a publisher key, only what
// the publisher signed (DownloadSignedFile). A body larger than limit bytes
// (0: no limit), or one that does not fit in memory, is a failed fetch
// (DOWNLOAD_EMPTY) and leaves the local file as it was; so is a body whose
// length could not be checked and which fails isWhole (when given). Never throws.
int DownloadTrustedFile(const std::wstring& urlPath, const std::wstring& localPath,
                        size_t limit = 0, const WholeBodyTest& isWhole = {});

// Fetches urlPath and its detached signature urlPath + ".sig"; writes the file
// only when the signature is valid for publicKeyPem, else DOWNLOAD_EMPTY with
// the local file untouched. A write that fails is DOWNLOAD_WRITE_FAILED.
int DownloadSignedFile(const std::wstring& urlPath, const std::wstring& localPath,
                       const std::string& publicKeyPem, size_t limit = 0);
