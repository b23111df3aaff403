#include <windows.h>
#include <gtest/gtest.h>
#include <cstdio>
TEST(Smoke, Acp) { printf("ACP %u LANG %04x\n", GetACP(), GetSystemDefaultLangID()); wchar_t b[300]; GetTempPathW(300,b); wprintf(L"%s\n", b); }
