// Downloading the queued files, with status texts and updateErr.log.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

#include "engine/file_list.h"

// Files fetched side by side: a distant server costs a round trip a file,
// and four keep the link busy without crowding the server.
constexpr size_t FETCH_WORKERS = 4;

// Always 0. Fetches the queue, FETCH_WORKERS files at a time; each file shows
// its texts as it starts and ends, and updateErr.log lists the failures in
// the queue's order.
int DownloadQueuedFiles(const DownloadQueue& queue, const std::wstring& exeDirectory, HWND dialog,
                        float serverVersion);

// DownloadQueuedFiles with workers files at a time (1: one after another, on
// the calling thread).
int DownloadQueuedFilesWith(const DownloadQueue& queue, const std::wstring& exeDirectory,
                            HWND dialog, float serverVersion, size_t workers);

// Replaces every occurrence left to right; inserted text is not searched again.
void ReplaceAll(std::wstring& text, const std::wstring& find, const std::wstring& replacement);
