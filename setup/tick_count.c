/* The thread runtime under the C++ library measures its timed waits with GetTickCount64, which
   Windows has from Vista on, and a program that imports it does not even start on XP. The
   shipped setup program starts there, so this takes the place of that import: the system's own
   function where it exists, else a count of milliseconds from the performance counter, which
   every system has. */
#include <windows.h>

typedef ULONGLONG(WINAPI* TickCount64Fn)(void);

static ULONGLONG WINAPI countFromPerformanceCounter(void) {
  LARGE_INTEGER frequency, counter;
  if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0 || !QueryPerformanceCounter(&counter)) {
    return GetTickCount();
  }
  const ULONGLONG ticks = (ULONGLONG)counter.QuadPart, perSecond = (ULONGLONG)frequency.QuadPart;
  return ticks / perSecond * 1000 + ticks % perSecond * 1000 / perSecond;
}

static ULONGLONG WINAPI tickCount64(void) {
  static TickCount64Fn chosen;
  TickCount64Fn fn = chosen;
  if (!fn) {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    fn = kernel ? (TickCount64Fn)(void*)GetProcAddress(kernel, "GetTickCount64") : NULL;
    if (!fn) fn = countFromPerformanceCounter;
    chosen = fn; /* every thread that gets here stores the same choice */
  }
  return fn();
}

/* What the linker would otherwise take from kernel32's import library. */
#ifdef _WIN64
TickCount64Fn tickCount64Import __asm__("__imp_GetTickCount64") = tickCount64;
#else
TickCount64Fn tickCount64Import __asm__("__imp__GetTickCount64@0") = tickCount64;
#endif
