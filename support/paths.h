// Paths relative to the running executable. Every path is UTF-16.
#pragma once

#include <string>

// Directory part of a path, up to and including its last "\" or "/".
// A null path stands for the running executable. No separator: unchanged.
std::wstring DirectoryOf(const wchar_t* path);

// The executable's directory joined with a relative name; empty when refused.
std::wstring ExeRelativePath(const std::wstring& name);

// Joins a directory and a name ("\", "/" and "|" are separators); empty when
// the name is empty or holds a colon.
std::wstring JoinPath(const std::wstring& directory, const std::wstring& name);

// The path with everything after its last dot replaced by "md5".
std::wstring MarkerPath(const std::wstring& path);
