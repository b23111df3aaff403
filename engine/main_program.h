// Fetching the product's main program into ~tmp.bak with its record ~tmp.md5.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "engine/version_numbers.h"

constexpr wchar_t PENDING_FILE_NAME[] = L"~tmp.bak";

struct PendingRecord {
    double version = 0.0;
    int32_t build = 0;
    std::string tag;
};

// CRC-32 of the file XOR 0x5E2B71C4 as "%X"; empty for an unreadable or empty file.
std::string ChecksumTag(const std::wstring& path);

// The record of ~tmp.bak when it names a version and its tag matches the file.
std::optional<PendingRecord> ReadPendingRecord();

void FetchMainProgram(HWND dialog, int32_t serverBuild, double serverVersion);

// True when the service announced a digest ("newmd5") and veldra.exe has it:
// the program in place is the one the service offers.
bool MainProgramIsCurrent(const std::string& announcedMd5);
