// Letter case as a Windows product folder sees it: two names are the same
// file when they match after each UTF-16 unit is upper-cased on its own
// (simple mapping, every script).
#pragma once

#include <string>

// utf8 with each character of the Basic Multilingual Plane replaced by its
// simple upper case; other characters and malformed bytes are kept as they are.
std::string WindowsUpcased(const std::string& utf8);
