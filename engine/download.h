// The one way bytes come from the network: urlmon through a fixed temp file.
#pragma once

#include <string>

#include "support/file_io.h"

constexpr int DOWNLOAD_OK = 0;
constexpr int DOWNLOAD_EMPTY = -3;
constexpr int DOWNLOAD_MD5_MISMATCH = -1002;
constexpr int DOWNLOAD_WRITE_FAILED = -1003;

// Expected digest that always fetches and accepts whatever arrives.
constexpr char ANY_MD5[] = "0";

// Fetches url (narrow, already encoded) into buffer. 0 when at least one byte
// of a complete, successful (2xx) response arrived; else DOWNLOAD_EMPTY. A
// transfer that stalls, or (with a limit) brings more than limit bytes, is
// given up and gives DOWNLOAD_EMPTY; such a body is never read into memory.
int DownloadToMemory(const std::string& url, std::string& buffer, size_t limit = 0);

// Fetches DownloadBaseUrl() + urlPath into localPath unless the local file is
// current, and checks its digest. Returns 0, -3, -1002 or -1003. A failed
// truncation of the destination escapes as std::filesystem::filesystem_error.
// knownDifferent: the stamp the local file had when it was last read whole and
// did not match expectedMd5; while it still has it, it is not read again.
int DownloadFile(const std::wstring& urlPath, const std::wstring& localPath,
                 const std::string& expectedMd5, const FileStamp* knownDifferent = nullptr);

// DownloadFile for callers that do not handle exceptions: a failed truncation
// is reported as DOWNLOAD_WRITE_FAILED.
int DownloadFileReportingErrors(const std::wstring& urlPath, const std::wstring& localPath,
                                const std::string& expectedMd5);

// A file the updater takes without a digest (the file list, the main
// program): whatever arrives, or, in a build with a publisher key, only what
// the publisher signed (DownloadSignedFile). Never throws.
int DownloadTrustedFile(const std::wstring& urlPath, const std::wstring& localPath);

// Fetches urlPath and its detached signature urlPath + ".sig"; writes the file
// only when the signature is valid for publicKeyPem, else DOWNLOAD_EMPTY with
// the local file untouched. A failed truncation is DOWNLOAD_WRITE_FAILED.
int DownloadSignedFile(const std::wstring& urlPath, const std::wstring& localPath,
                       const std::string& publicKeyPem);
