// Downloading the queued files, with status texts and updateErr.log.
#pragma once

#include <windows.h>

#include <string>

#include "engine/file_list.h"

// Always 0.
int DownloadQueuedFiles(const DownloadQueue& queue, const std::wstring& exeDirectory, HWND dialog,
                        float serverVersion);

// Replaces every occurrence left to right; inserted text is not searched again.
void ReplaceAll(std::wstring& text, const std::wstring& find, const std::wstring& replacement);
