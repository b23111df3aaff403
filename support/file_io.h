// Whole-file reads, line reads and preparing a file to be written.
#pragma once

#include <string>
#include <vector>

// Text-mode lines (CR LF reads as LF, 0x1A ends the file); one leading CR or LF
// of a line is dropped and a line is cut at its first NUL. False when the file
// cannot be opened, and then lines is unchanged.
bool ReadLines(const std::wstring& path, std::vector<std::string>& lines);

// Reads the whole file in binary, denying other writers. Returns the bytes
// read; 0 when it cannot be opened (bytes unchanged) or is empty.
int ReadWholeFile(const std::wstring& path, std::string& bytes);

// Creates the missing parent directories, checks that the file can be opened
// for writing and truncates it. False when it cannot be opened; a failed
// truncation throws std::filesystem::filesystem_error.
bool PrepareDestination(const std::wstring& path);
