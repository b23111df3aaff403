// The test server itself, spoken to over a raw socket.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/http_test_server.h"
#include "tests/test_support.h"

namespace {

// Sends one GET and returns everything the server sent until it closed.
std::string Exchange(int port, const std::string& path) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return std::string();
    std::string reply;
    SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    DWORD timeout = 10000;
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof timeout);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(port));
    if (connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        send(client, request.data(), static_cast<int>(request.size()), 0);
        char buffer[4096];
        for (;;) {
            int got = recv(client, buffer, sizeof buffer, 0);
            if (got <= 0) break;
            reply.append(buffer, static_cast<size_t>(got));
        }
    } else {
        reply = "refused";
    }
    closesocket(client);
    WSACleanup();
    return reply;
}

}  // namespace

TEST(HttpTestServer, ServesRoutesRecordsRequestsAndMisbehavesOnPurpose) {
    HttpTestServer server;
    ASSERT_TRUE(server.Start());
    ASSERT_GT(server.port(), 0);
    EXPECT_EQ(server.baseUrl(), L"http://127.0.0.1:" + std::to_wstring(server.port()));
    EXPECT_EQ(server.host(), "127.0.0.1:" + std::to_string(server.port()));

    HttpTestServer::Response ok;
    ok.body = "payload";
    ok.headers.emplace_back("X-Test", "1");
    server.AddRoute("/ok", ok);
    std::string reply = Exchange(server.port(), "/ok");
    EXPECT_EQ(reply.rfind("HTTP/1.1 200 ", 0), 0u) << reply;
    EXPECT_NE(reply.find("Content-Length: 7\r\n"), std::string::npos);
    EXPECT_NE(reply.find("Connection: close\r\n"), std::string::npos);
    EXPECT_NE(reply.find("X-Test: 1\r\n"), std::string::npos);
    EXPECT_EQ(reply.substr(reply.size() - 11), "\r\n\r\npayload");

    reply = Exchange(server.port(), "/nowhere");
    EXPECT_EQ(reply.rfind("HTTP/1.1 404 ", 0), 0u) << reply;
    EXPECT_NE(reply.find("<html>"), std::string::npos);

    HttpTestServer::Response cut;
    cut.body = "part";
    cut.behaviour = HttpTestServer::Response::CutShort;
    cut.missingBytes = 10;
    server.AddRoute("/cut", cut);
    reply = Exchange(server.port(), "/cut");
    EXPECT_NE(reply.find("Content-Length: 14\r\n"), std::string::npos);
    EXPECT_EQ(reply.substr(reply.size() - 4), "part");

    HttpTestServer::Response stall;
    stall.behaviour = HttpTestServer::Response::Stall;
    stall.stallMs = 300;
    server.AddRoute("/stall", stall);
    EXPECT_EQ(Exchange(server.port(), "/stall"), "");

    server.AddRoute("/a b/\xE4\xB8\xAD", 200, "decoded");
    reply = Exchange(server.port(), "/a%20b/%E4%B8%ad");
    EXPECT_EQ(reply.substr(reply.size() - 7), "decoded");

    std::vector<std::string> expected = {"/ok", "/nowhere", "/cut", "/stall", "/a b/\xE4\xB8\xAD"};
    EXPECT_EQ(server.requests(), expected);
    EXPECT_EQ(server.rawRequests().back(), "/a%20b/%E4%B8%ad");
    EXPECT_EQ(server.requestCount("/ok"), 1u);
    server.ClearRequests();
    EXPECT_TRUE(server.requests().empty());
    EXPECT_TRUE(server.rawRequests().empty());

    EXPECT_EQ(PercentDecode("%41%4a%zz%4"), "AJ%zz%4");
}

TEST(HttpTestServer, StopClosesTheListenerAndAFreePortRefuses) {
    HttpTestServer server;
    ASSERT_TRUE(server.Start());
    const int port = server.port();
    server.Stop();
    EXPECT_EQ(Exchange(port, "/"), "refused");

    const int freePort = FreeLoopbackPort();
    ASSERT_GT(freePort, 0);
    EXPECT_EQ(Exchange(freePort, "/"), "refused");
}

TEST(HttpTestServer, ServesFilesUnderARootAndRoutesComeFirst) {
    HttpTestServer server;
    ASSERT_TRUE(server.Start());
    const std::wstring root = MakeTempDir(L"server-root");
    ASSERT_TRUE(WriteBytes(root + L"sub\\file.bin", std::string("on\0disk", 7)));
    server.ServeDirectory(root);
    std::string reply = Exchange(server.port(), "/sub/file.bin");
    EXPECT_NE(reply.find("Content-Length: 7\r\n"), std::string::npos) << reply;
    EXPECT_EQ(reply.substr(reply.size() - 7), std::string("on\0disk", 7));

    server.AddRoute("/sub/file.bin", 200, "routed");
    reply = Exchange(server.port(), "/sub/file.bin");
    EXPECT_EQ(reply.substr(reply.size() - 6), "routed");

    EXPECT_EQ(Exchange(server.port(), "/sub/../sub/missing.bin").rfind("HTTP/1.1 404 ", 0), 0u);
    EXPECT_EQ(Exchange(server.port(), "/nothing.bin").rfind("HTTP/1.1 404 ", 0), 0u);
    server.Stop();
    RemoveTree(root);
}
