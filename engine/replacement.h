// Swapping ~tmp.bak in for veldra.exe and starting the product.
#pragma once

#include <windows.h>

// ~tmp.bak held the program already in place; the pending pair is removed.
constexpr int REPLACE_ALREADY_CURRENT = 3;
constexpr int REPLACE_NO_PENDING_FILE = 2;
constexpr int REPLACE_INVALID_RECORD = 1;
constexpr int REPLACE_DECLINED = -1;
constexpr int REPLACE_START_FAILED = 0;

constexpr wchar_t PRODUCT_FILE_NAME[] = L"veldra.exe";

// Does not return when the product was replaced and started: the process ends.
int ReplaceAndRestart(HWND dialog);

// ~tmp.bak could not take the place of veldra.exe: the old program stays and
// the pending pair is kept.
constexpr int REPLACE_MOVE_FAILED = -2;
