// Turning a release folder into the download server's tree and the version
// service's replies. Portable C++17: the platform's part is publish_platform.h.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/publish/publish_records.h"
#include "tools/publish/publish_scan.h"

// Writes the tree first and the replies last, each by rename. Returns one of
// the codes above; report receives (as UTF-8) what was done or why not.
int Publish(const PublishRequest& request, std::string& report);

// Brings an output folder whose last publish ended half-way to a consistent
// state, without publishing: put back before the release was announced,
// finished after. report says which, or that there was nothing to do.
int RecoverOutput(const std::filesystem::path& out, std::string& report);

// Makes a signing key pair into two new files: the private key (readable by
// its owner only) and the public key for updater builds. Never overwrites.
int MakeKeyFiles(const std::filesystem::path& privateFile, const std::filesystem::path& publicFile,
                 std::string& report);
