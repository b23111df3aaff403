#include "engine/version_numbers.h"

#include <cstdint>

bool ServerVersionFromLastVer(int lastVer, float& serverVersion) {
    if (lastVer > 1000) {
        serverVersion = static_cast<float>(lastVer) / 1000.0f;
    } else if (lastVer > 100) {
        serverVersion = static_cast<float>(lastVer) / 100.0f;
    } else {
        return false;
    }
    return true;
}

double VersionDirectory(float serverVersion) {
    float tenths = serverVersion * 10.0f;
    int truncated = static_cast<int>(tenths);
    float reduced = static_cast<float>(truncated) / 10.0f;
    return static_cast<double>(reduced);
}

int MajorVersion(double serverVersion) {
    const double tenths = serverVersion * 10.0;
    // Out of range (or NaN) cannot come from a 32-bit "lastVer"; keep the cast defined anyway.
    if (!(tenths > -2147483648.0 && tenths < 2147483648.0)) return 0;
    return static_cast<int32_t>(tenths) / 10;
}
