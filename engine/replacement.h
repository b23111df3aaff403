// Swapping ~tmp.bak in for veldra.exe and starting the product.
#pragma once

#include <windows.h>

constexpr int REPLACE_NO_PENDING_FILE = 2;
constexpr int REPLACE_INVALID_RECORD = 1;
constexpr int REPLACE_DECLINED = -1;
constexpr int REPLACE_START_FAILED = 0;

constexpr wchar_t PRODUCT_FILE_NAME[] = L"veldra.exe";

// Does not return when the product was replaced and started: the process ends.
int ReplaceAndRestart(HWND dialog);

// veldra.exe could not be moved aside, or ~tmp.bak could not take its place:
// the old program is in place again and the pending pair is kept.
constexpr int REPLACE_MOVE_FAILED = -2;

// Where the old program waits while the new one moves in.
constexpr wchar_t PREVIOUS_PRODUCT_FILE_NAME[] = L"~old.bak";
