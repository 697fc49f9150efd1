#include "os_version.h"

#include <windows.h>

#include "text.h"

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

namespace {

OSVERSIONINFOEXW queryVersion() {
  OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXW);
  // GetVersionExW is deprecated but still answers truthfully for a program whose manifest
  // declares the systems it supports.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info))) {
    info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info))) return OSVERSIONINFOEXW{};
  }
#pragma GCC diagnostic pop
  return info;
}

// Written once before any thread starts, read only afterwards.
const OSVERSIONINFOEXW detectedVersion = queryVersion();

}  // namespace

OsVersion osVersion() {
  return osVersionFor(detectedVersion.dwPlatformId, detectedVersion.dwMajorVersion, detectedVersion.dwMinorVersion);
}

bool isNt6OrLater() {
  return detectedVersion.dwPlatformId == VER_PLATFORM_WIN32_NT && detectedVersion.dwMajorVersion >= 6;
}

std::wstring osVersionText() {
  return decimalText(detectedVersion.dwMajorVersion) + L"." + decimalText(detectedVersion.dwMinorVersion) + L"." +
         decimalText(detectedVersion.dwBuildNumber);
}
