// Paths relative to the running executable. Every path is UTF-16.
#pragma once

#include <string>
#include <unordered_set>

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

// The path as the file system resolves it (dots, separators, trailing dots
// and blanks of a component); empty when it cannot.
std::wstring FullPath(const std::wstring& path);

// Folders a run has found plain already: each is asked about once a run.
using CheckedFolders = std::unordered_set<std::wstring>;

// True when path, resolved as the file system does, lies below directory and
// none of the folders between them is a reparse point (junction, symbolic
// link, mount point) that could lead elsewhere. The file itself may be a
// link; it is replaced, never written through. Folders named in checked are
// taken as plain; those found plain are added to it.
bool LiesBelow(const std::wstring& directory, const std::wstring& path,
               CheckedFolders* checked = nullptr);
