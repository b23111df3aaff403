#include "engine/download.h"

#include <windows.h>
#include <urlmon.h>
#include <wininet.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <atomic>
#include <cwchar>
#include <mutex>
#include <new>

#include "engine/release_signature.h"
#include "engine/response_headers.h"
#include "engine/release_statement.h"
#include "engine/request_form.h"
#include "engine/server_endpoints.h"
#include "support/encoding.h"
#include "support/file_io.h"
#include "support/md5.h"
#include "support/owned_files.h"
#include "support/paths.h"
#include "support/unique_handle.h"

namespace {

// Each fetch has a temp file of its own, named for its process, so two
// updaters never share one and a later run can tell an ended one's leftovers.
constexpr wchar_t TEMP_FILE_PREFIX[] = L"~veldraupdate.";
constexpr wchar_t TEMP_FILE_SUFFIX[] = L".tmp";
// A detached signature sits beside what it signs; a DER P-256 signature is
// at most 72 bytes.
constexpr char SIGNATURE_SUFFIX[] = ".sig";
constexpr size_t SIGNATURE_LIMIT = 1024;
constexpr DWORD TEMP_PATH_CHARS = 256;
// A transfer that brings nothing for this long, connection set-up included, is
// given up; one that keeps moving is never cut, however slow.
constexpr ULONGLONG STALL_DEADLINE_MS = 15000;
constexpr DWORD STALL_CHECK_MS = 1000;

// Watches one transfer: urlmon reports success for an error page or a body cut
// short, so the status code and the announced length are learnt here. It
// also gives the transfer up once it has stalled, or once it brings more than
// the caller takes.
class TransferWatch final : public IBindStatusCallback, public IHttpNegotiate {
  public:
    explicit TransferWatch(size_t limit) : limit_(limit), lastActivity_(GetTickCount64()) {}

    int status() const { return status_; }
    // Comparable with the bytes that arrived; -1 when there is none.
    long long announcedLength() const { return encoded_ ? -1 : announcedLength_; }
    // The server itself announced the length of the body as it arrives.
    bool lengthAnnounced() const { return !encoded_ && headerLength_ >= 0; }
    HRESULT stopResult() const { return stopResult_; }
    bool abandoned() const { return abandoned_; }

    // Runs on a timer thread. urlmon keeps its binding for the duration of the
    // call, and an abort reaches the transfer from any thread.
    void AbortIfStalled() {
        if (dataEnded_ || GetTickCount64() - lastActivity_ < STALL_DEADLINE_MS) return;
        Abandon();
    }

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IBindStatusCallback)) {
            *object = static_cast<IBindStatusCallback*>(this);
        } else if (IsEqualIID(iid, IID_IHttpNegotiate)) {
            *object = static_cast<IHttpNegotiate*>(this);
        } else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&references_); }
    STDMETHODIMP_(ULONG) Release() override {
        LONG left = InterlockedDecrement(&references_);
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }

    // IBindStatusCallback
    STDMETHODIMP OnStartBinding(DWORD, IBinding* binding) override {
        std::lock_guard<std::recursive_mutex> lock(bindingLock_);
        if (binding) binding->AddRef();
        binding_ = binding;
        Touch();
        return S_OK;
    }
    STDMETHODIMP GetPriority(LONG*) override { return E_NOTIMPL; }
    STDMETHODIMP OnLowResource(DWORD) override { return S_OK; }
    STDMETHODIMP OnProgress(ULONG progress, ULONG progressMax, ULONG statusCode, LPCWSTR) override {
        Touch();
        if (statusCode == BINDSTATUS_ENDDOWNLOADDATA) {
            dataEnded_ = true;
            if (progressMax > 0 && announcedLength_ < 0) announcedLength_ = progressMax;
        }
        if (limit_ > 0 && progress > limit_) Abandon();
        return S_OK;
    }
    STDMETHODIMP OnStopBinding(HRESULT result, LPCWSTR) override {
        stopResult_ = result;
        std::lock_guard<std::recursive_mutex> lock(bindingLock_);
        if (binding_) binding_->Release();
        binding_ = nullptr;
        return S_OK;
    }
    STDMETHODIMP GetBindInfo(DWORD*, BINDINFO*) override { return S_OK; }
    STDMETHODIMP OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override {
        Touch();
        return S_OK;
    }
    STDMETHODIMP OnObjectAvailable(REFIID, IUnknown*) override { return S_OK; }

    // IHttpNegotiate
    STDMETHODIMP BeginningTransaction(LPCWSTR, LPCWSTR, DWORD, LPWSTR* extraHeaders) override {
        if (extraHeaders) *extraHeaders = nullptr;
        Touch();
        return S_OK;
    }
    STDMETHODIMP OnResponse(DWORD statusCode, LPCWSTR responseHeaders, LPCWSTR,
                            LPWSTR* extraHeaders) override {
        if (extraHeaders) *extraHeaders = nullptr;
        Touch();
        status_ = static_cast<int>(statusCode);
        encoded_ = IsEncoded(responseHeaders);
        const long long length = ContentLength(responseHeaders);
        headerLength_ = length;
        if (length >= 0) announcedLength_ = length;
        if (limit_ > 0 && length > static_cast<long long>(limit_)) Abandon();
        return S_OK;
    }

  private:
    ~TransferWatch() = default;

    void Touch() { lastActivity_ = GetTickCount64(); }

    // The abort is made with the lock released: the callbacks take that lock,
    // and an abort is not known to be posted rather than delivered at once.
    void Abandon() {
        IBinding* binding = nullptr;
        {
            std::lock_guard<std::recursive_mutex> lock(bindingLock_);
            abandoned_ = true;
            binding = binding_;
            if (binding) binding->AddRef();
        }
        if (binding) {
            binding->Abort();
            binding->Release();
        }
    }

    LONG references_ = 1;
    const size_t limit_;  // 0: no limit
    int status_ = 0;      // 0 until a response arrived
    long long announcedLength_ = -1;
    long long headerLength_ = -1;  // from Content-Length alone
    bool encoded_ = false;
    HRESULT stopResult_ = S_OK;
    std::atomic<ULONGLONG> lastActivity_;
    std::atomic<bool> dataEnded_{false};
    std::atomic<bool> abandoned_{false};
    std::recursive_mutex bindingLock_;
    IBinding* binding_ = nullptr;
};

// Checks the transfer every second for as long as the fetch runs.
class StallTimer {
  public:
    explicit StallTimer(TransferWatch* watch) {
        if (!CreateTimerQueueTimer(&timer_, nullptr, Check, watch, STALL_CHECK_MS, STALL_CHECK_MS,
                                   WT_EXECUTEDEFAULT)) {
            timer_ = nullptr;
        }
    }
    StallTimer(const StallTimer&) = delete;
    StallTimer& operator=(const StallTimer&) = delete;
    // Waits for a check that is running, so the watch outlives every check.
    ~StallTimer() {
        if (timer_) DeleteTimerQueueTimer(nullptr, timer_, INVALID_HANDLE_VALUE);
    }

  private:
    static VOID CALLBACK Check(PVOID watch, BOOLEAN) {
        static_cast<TransferWatch*>(watch)->AbortIfStalled();
    }

    HANDLE timer_ = nullptr;
};

bool TransferComplete(HRESULT result, const TransferWatch& watch, unsigned long long bytes) {
    if (watch.abandoned() || FAILED(result) || FAILED(watch.stopResult())) return false;
    if (watch.status() != 0 && (watch.status() < 200 || watch.status() > 299)) return false;
    if (watch.announcedLength() >= 0 &&
        static_cast<unsigned long long>(watch.announcedLength()) != bytes) {
        return false;
    }
    return true;
}

// urlmon takes the temp file's name in the ANSI code page. A temp folder with
// characters the code page lacks still has a short name that converts without
// loss; with none, empty: urlmon would write the body somewhere else.
std::string NarrowTempPath(const std::wstring& tempDir, const std::wstring& name) {
    const auto lossless = [](const std::wstring& path) {
        return AnsiToWide(WideToAnsi(path)) == path;
    };
    std::wstring path = JoinPath(tempDir, name);
    if (lossless(path)) return WideToAnsi(path);
    wchar_t shortDir[MAX_PATH] = {};
    const DWORD length = GetShortPathNameW(tempDir.c_str(), shortDir, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::string();
    path = JoinPath(shortDir, name);
    return lossless(path) ? WideToAnsi(path) : std::string();
}

// Size of a file; false when it cannot be learnt.
bool SizeOf(const std::wstring& path, unsigned long long& size) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
    size = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

// The temp file of one fetch: whatever is left of it goes with the fetch.
class FetchedFile {
  public:
    FetchedFile() {
        wchar_t tempDir[TEMP_PATH_CHARS] = {};
        GetTempPathW(TEMP_PATH_CHARS, tempDir);
        const std::wstring name = OwnedFileName(TEMP_FILE_PREFIX, TEMP_FILE_SUFFIX);
        path_ = JoinPath(tempDir, name);
        // Made here, exclusively, so the name is this fetch's alone before
        // urlmon writes to it.
        UniqueHandle claimed(CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
        if (claimed.valid()) narrowPath_ = NarrowTempPath(tempDir, name);
    }
    FetchedFile(const FetchedFile&) = delete;
    FetchedFile& operator=(const FetchedFile&) = delete;
    ~FetchedFile() {
        if (!narrowPath_.empty()) DeleteFileW(path_.c_str());
    }

    const std::wstring& path() const { return path_; }
    // Empty when the file could not be made or urlmon could not be given its path.
    const std::string& narrowPath() const { return narrowPath_; }

  private:
    std::wstring path_;
    std::string narrowPath_;
};

// Fetches url into fetched. 0 when at least one byte of a complete,
// successful response arrived, and (with a limit) no more than limit bytes.
FetchResult FetchToFile(const std::string& url, const FetchedFile& fetched, size_t limit) {
    FetchResult result;
    if (fetched.narrowPath().empty()) return result;

    HRESULT transfer = E_FAIL;
    TransferWatch* watch = new TransferWatch(limit);
    const std::string escapedUrl = RequestForm(url);
    {
        ComScope com;
        StallTimer timer(watch);
        transfer =
            URLDownloadToFileA(nullptr, escapedUrl.c_str(), fetched.narrowPath().c_str(), 0, watch);
    }
    // urlmon also keeps a copy in the browser cache; only the destination is
    // meant to stay behind.
    DeleteUrlCacheEntryA(escapedUrl.c_str());

    unsigned long long size = 0;
    const bool complete = SizeOf(fetched.path(), size) && size > 0 &&
                          (limit == 0 || size <= limit) && TransferComplete(transfer, *watch, size);
    result.lengthChecked = watch->lengthAnnounced();
    watch->Release();
    if (complete) result.code = DOWNLOAD_OK;
    return result;
}

FetchResult FetchToMemory(const std::string& url, std::string& buffer, size_t limit) {
    FetchedFile fetched;
    FetchResult result = FetchToFile(url, fetched, limit);
    if (result.code != DOWNLOAD_OK) return result;
    std::string body;
    const int read = ReadWholeFile(fetched.path(), body);
    if (read <= 0 || static_cast<size_t>(read) != body.size()) {
        result.code = DOWNLOAD_EMPTY;
        return result;
    }
    buffer = std::move(body);
    return result;
}

int DownloadFileWithin(const std::wstring& urlPath, const std::wstring& localPath,
                       const std::string& expectedMd5, const FileStamp* knownDifferent,
                       unsigned long long listedSize, size_t limit, const WholeBodyTest& isWhole,
                       const std::string& expectedSha256 = std::string()) {
    // The local file is read only when it could spare the fetch: ANY_MD5 equals
    // no digest, and a file still as it was when found different needs no second look.
    FileStamp now;
    const bool mustFetch =
        expectedMd5 == ANY_MD5 ||
        (knownDifferent != nullptr && ReadFileStamp(localPath, now) && now == *knownDifferent);
    if (!mustFetch) {
        // Read in pieces: a large file is never held whole for its digest.
        const std::string localMd5 = Md5OfFile(localPath);
        if (!localMd5.empty() && (expectedMd5.empty() || localMd5 == expectedMd5)) {
            return DOWNLOAD_OK;
        }
    }

    const std::string url = WideToUtf8(DownloadBaseUrl() + urlPath);
    FetchedFile fetchedFile;
    const FetchResult fetched = FetchToFile(url, fetchedFile, limit);
    if (fetched.code != DOWNLOAD_OK) return fetched.code;
    // Without a length to hold it against, a body cut short reads as complete:
    // the listed size is the length then.
    unsigned long long size = 0;
    if (!fetched.lengthChecked && listedSize != 0 &&
        (!SizeOf(fetchedFile.path(), size) || size != listedSize)) {
        return DOWNLOAD_EMPTY;
    }
    if (!fetched.lengthChecked && isWhole) {
        std::string content;
        if (ReadWholeFile(fetchedFile.path(), content) <= 0 || !isWhole(content)) {
            return DOWNLOAD_EMPTY;
        }
    }

    // Whatever arrives is accepted for ANY_MD5: no digest to compute.
    const bool matches = expectedMd5.empty() || expectedMd5 == ANY_MD5 ||
                         FetchedFileMatches(fetchedFile.path(), expectedMd5, expectedSha256);
    // Where releases are signed the digests come from a verified list and
    // statement, and bytes without both never replace the file.
    if (!matches && ReleaseSigningEnabled()) return DOWNLOAD_MD5_MISMATCH;

    // The temp file's name is this fetch's alone: the bytes just checked are
    // the bytes renamed in.
    if (!ReplaceWithFile(localPath, fetchedFile.path())) {
        return DOWNLOAD_WRITE_FAILED;
    }
    return matches ? DOWNLOAD_OK : DOWNLOAD_MD5_MISMATCH;
}

}  // namespace

ComScope::ComScope() : started_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}

ComScope::~ComScope() {
    if (started_) CoUninitialize();
}

FetchResult FetchBody(const std::string& url, std::string& buffer, size_t limit) {
    // Memory is part of what a fetch needs: running short of it fails the fetch.
    try {
        return FetchToMemory(url, buffer, limit);
    } catch (const std::bad_alloc&) {
        return FetchResult();
    }
}

void AllowParallelFetches(unsigned long connectionsPerServer) {
    for (DWORD option :
         {INTERNET_OPTION_MAX_CONNS_PER_SERVER, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER}) {
        InternetSetOptionW(nullptr, option, &connectionsPerServer, sizeof(connectionsPerServer));
    }
}

void RemoveEndedFetches(const std::wstring& tempDir) {
    RemoveLeftovers(tempDir, TEMP_FILE_PREFIX, TEMP_FILE_SUFFIX);
}

int DownloadToMemory(const std::string& url, std::string& buffer, size_t limit) {
    return FetchBody(url, buffer, limit).code;
}

bool PutFileByReplacement(const std::wstring& localPath, const std::string& content) {
    return ReplaceWithBytes(localPath, content.data(), content.size());
}

int DownloadFile(const std::wstring& urlPath, const std::wstring& localPath,
                 const std::string& expectedMd5, const FileStamp* knownDifferent,
                 unsigned long long listedSize, const std::string& expectedSha256) {
    return DownloadFileWithin(urlPath, localPath, expectedMd5, knownDifferent, listedSize, 0, {},
                              expectedSha256);
}

int DownloadFileReportingErrors(const std::wstring& urlPath, const std::wstring& localPath,
                                const std::string& expectedMd5) {
    try {
        return DownloadFile(urlPath, localPath, expectedMd5);
    } catch (const std::bad_alloc&) {
        return DOWNLOAD_EMPTY;
    }
}

int DownloadSignedFile(const std::wstring& urlPath, const std::wstring& localPath,
                       const std::string& publicKeyPem, size_t limit) {
    const std::string url = WideToUtf8(DownloadBaseUrl() + urlPath);
    std::string content;
    std::string signature;
    if (DownloadToMemory(url, content, limit) != DOWNLOAD_OK) return DOWNLOAD_EMPTY;
    if (DownloadToMemory(url + SIGNATURE_SUFFIX, signature, SIGNATURE_LIMIT) != DOWNLOAD_OK ||
        !VerifySignature(publicKeyPem, content, signature)) {
        return DOWNLOAD_EMPTY;
    }
    return PutFileByReplacement(localPath, content) ? DOWNLOAD_OK : DOWNLOAD_WRITE_FAILED;
}

int DownloadTrustedFile(const std::wstring& urlPath, const std::wstring& localPath, size_t limit,
                        const WholeBodyTest& isWhole) {
    try {
        // A signature is only ever valid for the whole file it was made for.
        if (ReleaseSigningEnabled()) {
            return DownloadSignedFile(urlPath, localPath, ReleasePublicKeyPem(), limit);
        }
        return DownloadFileWithin(urlPath, localPath, ANY_MD5, nullptr, 0, limit, isWhole);
    } catch (const std::bad_alloc&) {
        return DOWNLOAD_EMPTY;
    }
}
