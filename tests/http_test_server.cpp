#include "tests/http_test_server.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int kMaxRequestBytes = 64 * 1024;
constexpr DWORD kIoTimeoutMs = 10000;
constexpr DWORD kStopJoinPollMs = 100;

const char* ReasonPhrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 204:
            return "No Content";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 400:
            return "Bad Request";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 500:
            return "Internal Server Error";
        case 503:
            return "Service Unavailable";
        default:
            return "Status";
    }
}

bool SendAll(SOCKET socket, const char* data, size_t size) {
    while (size > 0) {
        int chunk = static_cast<int>(std::min<size_t>(size, 1 << 20));
        int sent = send(socket, data, chunk, 0);
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

// Reads up to the end of the request head; empty on time-out or error.
std::string ReadRequestHead(SOCKET socket) {
    std::string head;
    char buffer[4096];
    while (head.size() < kMaxRequestBytes) {
        int received = recv(socket, buffer, sizeof buffer, 0);
        if (received <= 0) return std::string();
        head.append(buffer, static_cast<size_t>(received));
        if (head.find("\r\n\r\n") != std::string::npos) return head;
    }
    return std::string();
}

// "GET /path HTTP/1.1" gives "/path".
std::string RequestTarget(const std::string& head) {
    size_t first = head.find(' ');
    if (first == std::string::npos) return std::string();
    size_t second = head.find(' ', first + 1);
    if (second == std::string::npos) return std::string();
    return head.substr(first + 1, second - first - 1);
}

void CloseGracefully(SOCKET socket) {
    shutdown(socket, SD_SEND);
    // Drain what the client still sends, briefly, so the close is not a reset.
    char buffer[512];
    for (int i = 0; i < 20; ++i) {
        if (recv(socket, buffer, sizeof buffer, 0) <= 0) break;
    }
    closesocket(socket);
}

}  // namespace

bool HttpTestServer::Start(int port) {
    if (listener_ != INVALID_SOCKET) return true;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    winsockStarted_ = true;
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener_ == INVALID_SOCKET) return false;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(port));
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, SOMAXCONN) != 0) {
        closesocket(listener_);
        listener_ = INVALID_SOCKET;
        return false;
    }
    int length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    stopping_ = false;
    stopEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    acceptThread_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void HttpTestServer::Stop() {
    stopping_ = true;
    if (stopEvent_) SetEvent(stopEvent_);
    if (acceptThread_.joinable()) acceptThread_.join();
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        workers.swap(workers_);
    }
    for (auto& worker : workers) {
        if (worker.joinable()) worker.join();
    }
    if (listener_ != INVALID_SOCKET) {
        closesocket(listener_);
        listener_ = INVALID_SOCKET;
    }
    if (stopEvent_) {
        CloseHandle(stopEvent_);
        stopEvent_ = nullptr;
    }
    if (winsockStarted_) {
        WSACleanup();
        winsockStarted_ = false;
    }
}

std::wstring HttpTestServer::baseUrl() const {
    return L"http://127.0.0.1:" + std::to_wstring(port_);
}

std::string HttpTestServer::host() const { return "127.0.0.1:" + std::to_string(port_); }

void HttpTestServer::AddRoute(const std::string& path, const Response& response) {
    std::lock_guard<std::mutex> lock(mutex_);
    routes_[path] = response;
}

void HttpTestServer::AddRoute(const std::string& path, int status, const std::string& body) {
    Response response;
    response.status = status;
    response.body = body;
    AddRoute(path, response);
}

void HttpTestServer::RemoveRoute(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    routes_.erase(path);
}

void HttpTestServer::ServeDirectory(const std::wstring& root) {
    std::lock_guard<std::mutex> lock(mutex_);
    root_ = root;
    if (!root_.empty() && root_.back() != L'\\') root_ += L'\\';
}

std::wstring HttpTestServer::FileFor(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (root_.empty() || path.empty() || path[0] != '/' || path.find("..") != std::string::npos ||
        path.find(':') != std::string::npos || path.back() == '/') {
        return std::wstring();
    }
    if (routes_.count(path)) return std::wstring();
    std::string relative = path.substr(1);
    const int length = MultiByteToWideChar(CP_UTF8, 0, relative.data(),
                                           static_cast<int>(relative.size()), nullptr, 0);
    std::wstring name(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, relative.data(), static_cast<int>(relative.size()), &name[0],
                        length);
    for (wchar_t& c : name) {
        if (c == L'/') c = L'\\';
    }
    return root_ + name;
}

std::vector<std::string> HttpTestServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::vector<std::string> HttpTestServer::rawRequests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rawRequests_;
}

size_t HttpTestServer::requestCount(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(std::count(requests_.begin(), requests_.end(), path));
}

void HttpTestServer::ClearRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
    rawRequests_.clear();
}

HttpTestServer::Response HttpTestServer::Lookup(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = routes_.find(path);
    if (found != routes_.end()) return found->second;
    Response missing;
    missing.status = 404;
    missing.body = "<html><body><h1>404 Not Found</h1></body></html>";
    missing.headers.emplace_back("Content-Type", "text/html");
    return missing;
}

void HttpTestServer::AcceptLoop() {
    while (!stopping_) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(listener_, &readable);
        timeval wait = {0, static_cast<long>(kStopJoinPollMs * 1000)};
        int ready = select(0, &readable, nullptr, nullptr, &wait);
        if (ready <= 0) continue;
        SOCKET client = accept(listener_, nullptr, nullptr);
        if (client == INVALID_SOCKET) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        workers_.emplace_back([this, client] { Serve(client); });
    }
}

void HttpTestServer::Serve(SOCKET client) {
    DWORD timeout = kIoTimeoutMs;
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof timeout);
    setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof timeout);
    std::string head = ReadRequestHead(client);
    if (head.empty()) {
        closesocket(client);
        return;
    }
    const std::string rawTarget = RequestTarget(head);
    const std::string target = PercentDecode(rawTarget);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(target);
        rawRequests_.push_back(rawTarget);
    }
    const std::wstring filePath = FileFor(target);
    if (!filePath.empty()) {
        HANDLE file = CreateFileW(filePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        LARGE_INTEGER size = {};
        if (file != INVALID_HANDLE_VALUE && GetFileSizeEx(file, &size)) {
            std::string reply =
                "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size.QuadPart) +
                "\r\nConnection: close\r\n\r\n";
            bool sending = SendAll(client, reply.data(), reply.size());
            std::string chunk(1 << 20, '\0');
            DWORD got = 0;
            while (sending &&
                   ReadFile(file, &chunk[0], static_cast<DWORD>(chunk.size()), &got, nullptr) &&
                   got > 0) {
                sending = SendAll(client, chunk.data(), got);
            }
            CloseHandle(file);
            CloseGracefully(client);
            return;
        }
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    }
    Response response = Lookup(target);
    if (response.behaviour == Response::Stall) {
        WaitForSingleObject(stopEvent_, response.stallMs);
        closesocket(client);
        return;
    }
    size_t announced = response.body.size();
    if (response.behaviour == Response::CutShort) announced += response.missingBytes;
    size_t sentAtOnce = response.body.size();
    if (response.behaviour == Response::StallInBody) sentAtOnce /= 2;
    if (response.behaviour == Response::Trickle) sentAtOnce = 0;
    char statusLine[128];
    _snprintf_s(statusLine, sizeof statusLine, _TRUNCATE, "HTTP/1.1 %d %s\r\n", response.status,
                ReasonPhrase(response.status));
    std::string reply = statusLine;
    if (response.framing == Response::Length) {
        reply += "Content-Length: " + std::to_string(announced) + "\r\n";
    } else if (response.framing == Response::Chunked) {
        reply += "Transfer-Encoding: chunked\r\n";
    }
    reply += "Connection: close\r\n";
    for (const auto& header : response.headers) {
        reply += header.first + ": " + header.second + "\r\n";
    }
    reply += "\r\n";
    if (response.framing == Response::Chunked) {
        const size_t third = (response.body.size() + 2) / 3;
        for (size_t at = 0; at < response.body.size(); at += third) {
            const size_t piece = std::min(third, response.body.size() - at);
            char size[32];
            _snprintf_s(size, sizeof size, _TRUNCATE, "%llx\r\n",
                        static_cast<unsigned long long>(piece));
            reply += size + response.body.substr(at, piece) + "\r\n";
        }
        if (response.behaviour != Response::CutShort) reply += "0\r\n\r\n";
        SendAll(client, reply.data(), reply.size());
        if (response.behaviour == Response::CutShort) {
            closesocket(client);
        } else {
            CloseGracefully(client);
        }
        return;
    }
    bool sending = SendAll(client, reply.data(), reply.size()) &&
                   SendAll(client, response.body.data(), sentAtOnce);
    if (response.behaviour == Response::StallInBody) {
        WaitForSingleObject(stopEvent_, response.stallMs);
        closesocket(client);
        return;
    }
    for (size_t at = sentAtOnce; sending && at < response.body.size();) {
        if (WaitForSingleObject(stopEvent_, response.trickleMs) == WAIT_OBJECT_0) break;
        const size_t piece = std::min(response.trickleBytes, response.body.size() - at);
        sending = SendAll(client, response.body.data() + at, piece);
        at += piece;
    }
    if (response.behaviour == Response::CutShort) {
        closesocket(client);
        return;
    }
    CloseGracefully(client);
}

std::string PercentDecode(const std::string& text) {
    auto hexValue = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    std::string decoded;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            int high = hexValue(text[i + 1]);
            int low = hexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                decoded.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                continue;
            }
        }
        decoded.push_back(text[i]);
    }
    return decoded;
}

int FreeLoopbackPort() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 0;
    int port = 0;
    SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (probe != INVALID_SOCKET) {
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            int length = sizeof address;
            getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
            port = ntohs(address.sin_port);
        }
        closesocket(probe);
    }
    WSACleanup();
    return port;
}
