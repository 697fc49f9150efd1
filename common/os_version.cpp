#include "os_version.h"

#include <windows.h>

OsVersion osVersionFor(unsigned long platformId, unsigned long major, unsigned long minor) {
  if (platformId == VER_PLATFORM_WIN32_WINDOWS) {
    if (major == 4 && minor == 0) return 1;
    if (major == 4 && minor == 10) return 2;
    if (major >= 4 && minor >= 90) return 3;
    return 0;
  }
  if (platformId != VER_PLATFORM_WIN32_NT) return 0;
  if (major == 4) return 4;
  if (major == 5) {
    if (minor == 0) return 5;
    if (minor == 1) return 6;
    return 7;
  }
  if (major == 6) {
    if (minor <= 3) return static_cast<OsVersion>(8 + minor);
    return 0;
  }
  if (major >= 7) return 12;
  return 0;
}

OsVersion detectOsVersion() {
  OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXW);
  // GetVersionExW is deprecated but still answers truthfully for a program whose manifest
  // declares the systems it supports.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info))) {
    info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info))) return 0;
  }
#pragma GCC diagnostic pop
  return osVersionFor(info.dwPlatformId, info.dwMajorVersion, info.dwMinorVersion);
}

namespace {
// Written once before any thread starts, read only afterwards.
const OsVersion detectedOsVersion = detectOsVersion();
}  // namespace

OsVersion osVersion() { return detectedOsVersion; }
