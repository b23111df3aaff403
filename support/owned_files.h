// Files a process makes for itself on the way (fetched bodies, staging
// files) carry that process in their names: another run can then tell an
// ended process's leftovers from a live one's, and no two share a name.
#pragma once

#include <string>

// prefix + "<process id>-<process start>-<random>" + suffix, in hexadecimal.
// Unique to this process and call; the caller still creates the file
// exclusively (CREATE_NEW) to be sure of it.
std::wstring OwnedFileName(const wchar_t* prefix, const wchar_t* suffix);

// Whether name is prefix + anything + suffix, letter case ignored as the file
// system ignores it: the shape every OwnedFileName of them has.
bool IsNamedLike(const std::wstring& name, const wchar_t* prefix, const wchar_t* suffix);

// Whether name is an OwnedFileName for prefix and suffix (letter case
// ignored) whose process has ended. A process that cannot be asked (another
// user's) counts as live: its files are not ours to take.
bool IsLeftover(const std::wstring& name, const wchar_t* prefix, const wchar_t* suffix);

// Removes the files in folder that IsLeftover names, read-only or not.
void RemoveLeftovers(const std::wstring& folder, const wchar_t* prefix, const wchar_t* suffix);
