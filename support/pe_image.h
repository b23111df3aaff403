// Telling a whole program file from one cut short.
#pragma once

#include <string>

// True when bytes hold a whole PE image: its headers, the raw data of every
// section and, when it has one, its certificate table all lie inside bytes.
// Bytes after all of them (an appended tail) do not matter.
bool IsWholePeImage(const std::string& bytes);
