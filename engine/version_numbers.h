// The numbers the updater derives from the version service's "lastVer". The
// publisher computes them with these same functions, so it never writes a
// directory the updater does not ask for. Portable: no platform headers.
#pragma once

// The service sends the version times 1000 (above 1000) or times 100; the
// quotient is single precision. False when "lastVer" names no version.
bool ServerVersionFromLastVer(int lastVer, float& serverVersion);

// The server version cut to one decimal in single precision (1.35 gives 1.3).
double VersionDirectory(float serverVersion);

// The whole-number major version (1.31 gives 1).
int MajorVersion(double serverVersion);
