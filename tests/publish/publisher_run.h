// The publisher under test as a child process, and the files around it, for
// the tests that run against both builds (natively and under Wine).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

struct PublisherRun {
    bool started = false;
    int exitCode = -1;
    std::string output;  // standard output and error together
};

// The publisher built beside this test executable.
std::filesystem::path PublisherPath();

// Runs it with these arguments and waits at most a minute.
PublisherRun RunPublisher(const std::vector<std::filesystem::path>& arguments);

// The same with VELDRA_PUBLISH_FAULT=fault in its environment.
PublisherRun RunPublisherWithFault(const std::vector<std::filesystem::path>& arguments,
                                   const std::string& fault);

// The same while file (below the release) cannot be copied in full: on
// Windows another process holds it open without sharing; on Linux, where root
// reads anything, the publisher's file size limit stops it half-way.
PublisherRun RunPublisherFailingOn(const std::vector<std::filesystem::path>& arguments,
                                   const std::filesystem::path& file);

// True when signature is one of file's exact bytes by the public key in
// publicKey: the updater's own check on Windows, `openssl dgst -sha256
// -verify` on Linux.
bool SignatureVerifies(const std::filesystem::path& publicKey, const std::filesystem::path& file,
                       const std::filesystem::path& signature);

// True when no other user may read file: mode 0600 on Linux; on Windows no
// entry of its DACL lets anyone but the user running the test (and the
// system) read it.
bool OnlyOwnerReads(const std::filesystem::path& file);

// A new empty folder under the temporary folder.
std::filesystem::path NewFolder(const std::string& label);
// A path from its UTF-8 text, "\" or "/" between the names.
std::filesystem::path PathOf(const std::string& utf8);

bool WriteBytes(const std::filesystem::path& path, const std::string& bytes);  // makes folders
std::string ReadBytes(const std::filesystem::path& path);                      // empty when missing
void RemoveFolder(const std::filesystem::path& folder);
