// A small HTTP/1.1 server on 127.0.0.1 for tests: fixed routes, recorded
// requests, and responses that misbehave on purpose.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct HttpTestResponse {
    enum Behaviour {
        Normal,
        CutShort,     // announces more than the body, sends the body, then closes
        Stall,        // reads the request, sends nothing for stallMs, then closes
        StallInBody,  // sends the head and half the body, then nothing for stallMs
        Trickle       // sends the body in pieces of trickleBytes, trickleMs apart
    };
    // How the end of the body is told: by Content-Length, by chunks (three of
    // them and the last, empty one; CutShort leaves that out and closes), or by
    // closing the connection (no length at all).
    enum Framing { Length, Chunked, UntilClose };
    int status = 200;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;  // extra header lines
    Behaviour behaviour = Normal;
    Framing framing = Length;
    size_t missingBytes = 1024;  // CutShort: announced length minus body length
    DWORD stallMs = 3000;        // Stall, StallInBody: bounded, also ended by Stop()
    size_t trickleBytes = 1000;
    DWORD trickleMs = 500;
};

class HttpTestServer {
  public:
    using Response = HttpTestResponse;

    HttpTestServer() = default;
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;
    ~HttpTestServer() { Stop(); }

    // Binds 127.0.0.1 on port (0: an ephemeral one) and serves on a background thread.
    bool Start(int port = 0);
    // Stops accepting, ends stalled connections and joins every thread.
    void Stop();

    int port() const { return port_; }
    std::wstring baseUrl() const;  // L"http://127.0.0.1:PORT"
    std::string host() const;      // "127.0.0.1:PORT"

    // path is the request target with its %XX escapes decoded, as a server sees
    // it (e.g. "/update/1.3/comm/file.lst" or the raw UTF-8 bytes of a name).
    void AddRoute(const std::string& path, const Response& response);
    void AddRoute(const std::string& path, int status, const std::string& body);
    void RemoveRoute(const std::string& path);
    // Paths without a route are then served from files under root (streamed,
    // "/" read as "\", UTF-8 names); a missing file or a ".." answers 404.
    void ServeDirectory(const std::wstring& root);

    // Request targets in the order they arrived, %XX decoded.
    std::vector<std::string> requests() const;
    // The same, exactly as they came over the wire.
    std::vector<std::string> rawRequests() const;
    size_t requestCount(const std::string& path) const;
    void ClearRequests();

  private:
    void AcceptLoop();
    void Serve(SOCKET client);
    Response Lookup(const std::string& path) const;
    std::wstring FileFor(const std::string& path) const;

    SOCKET listener_ = INVALID_SOCKET;
    int port_ = 0;
    bool winsockStarted_ = false;
    std::atomic<bool> stopping_{false};
    HANDLE stopEvent_ = nullptr;
    std::thread acceptThread_;
    mutable std::mutex mutex_;
    std::map<std::string, Response> routes_;
    std::wstring root_;
    std::vector<std::string> requests_;
    std::vector<std::string> rawRequests_;
    std::vector<std::thread> workers_;
};

// "%E4%B8%AD" gives the bytes E4 B8 AD; malformed escapes stay as they are.
std::string PercentDecode(const std::string& text);

// A loopback port nobody listens on, for "connection refused".
int FreeLoopbackPort();
