/* The C++ runtime of this toolchain calls a handful of POSIX thread functions: its locks (the
   exception allocator, the unwinder's table of frames, static initialisation guards), its
   one-time initialisation and its thread-local storage (where each thread keeps the exceptions
   it is handling). These answer them with the platform's critical sections, thread-local
   storage and interlocked operations, so that the POSIX thread library stays out of the
   shipped setup program: some 30 KB, and an import that Windows XP does not have. The program
   starts its own threads and takes its own locks straight from the platform (common/threads.h).
   Only the shipped program links these; the tests link the library. */
#include <windows.h>
#include <errno.h>
#include <pthread.h>

/* A mutex holds a critical section made on its first use; the static initialisers (-1 to -3)
   stand for one not made yet. Critical sections are recursive, which serves every kind. */
static int notMadeYet(intptr_t value) { return value >= -3 && value <= 0; }

static CRITICAL_SECTION* sectionOf(pthread_mutex_t* mutex) {
  const intptr_t value = *(volatile intptr_t*)mutex;
  if (!notMadeYet(value)) return (CRITICAL_SECTION*)value;
  CRITICAL_SECTION* fresh = HeapAlloc(GetProcessHeap(), 0, sizeof(*fresh));
  if (!fresh) return NULL;
  InitializeCriticalSection(fresh);
  void* seen = InterlockedCompareExchangePointer((void* volatile*)mutex, fresh, (void*)value);
  if (seen == (void*)value) return fresh;
  /* Another thread made one first. */
  DeleteCriticalSection(fresh);
  HeapFree(GetProcessHeap(), 0, fresh);
  return (CRITICAL_SECTION*)seen;
}

int pthread_mutex_init(pthread_mutex_t* mutex, const pthread_mutexattr_t* attributes) {
  (void)attributes;
  *mutex = PTHREAD_MUTEX_INITIALIZER;
  return 0;
}

int pthread_mutex_destroy(pthread_mutex_t* mutex) {
  const intptr_t value = *mutex;
  if (!notMadeYet(value)) {
    DeleteCriticalSection((CRITICAL_SECTION*)value);
    HeapFree(GetProcessHeap(), 0, (void*)value);
  }
  *mutex = PTHREAD_MUTEX_INITIALIZER;
  return 0;
}

int pthread_mutex_lock(pthread_mutex_t* mutex) {
  CRITICAL_SECTION* section = sectionOf(mutex);
  if (!section) return ENOMEM;
  EnterCriticalSection(section);
  return 0;
}

int pthread_mutex_unlock(pthread_mutex_t* mutex) {
  LeaveCriticalSection((CRITICAL_SECTION*)*mutex);
  return 0;
}

/* The runtime waits on a condition only while another thread runs a static initialiser that it
   needs too. The wait ends after a moment, without a signal, as any wait may: the waiter then
   looks at its condition again, and waits again while it does not hold. */
int pthread_cond_wait(pthread_cond_t* condition, pthread_mutex_t* mutex) {
  (void)condition;
  pthread_mutex_unlock(mutex);
  Sleep(1);
  return pthread_mutex_lock(mutex);
}

int pthread_cond_broadcast(pthread_cond_t* condition) {
  (void)condition;
  return 0;
}

/* 0: not run, 1: running, 2: done. */
int pthread_once(pthread_once_t* once, void (*function)(void)) {
  if (InterlockedCompareExchange(once, 1, 0) == 0) {
    function();
    InterlockedExchange(once, 2);
    return 0;
  }
  while (InterlockedCompareExchange(once, 2, 2) != 2) Sleep(0);
  return 0;
}

/* A key's destructor is not called when a thread ends: what the runtime keeps per thread (a few
   hundred bytes at most) goes with the process; the program has three threads. */
int pthread_key_create(pthread_key_t* key, void (*destructor)(void*)) {
  (void)destructor;
  const DWORD index = TlsAlloc();
  if (index == TLS_OUT_OF_INDEXES) return EAGAIN;
  *key = index;
  return 0;
}

void* pthread_getspecific(pthread_key_t key) {
  /* The platform's call clears the last error, which the program may be about to read. */
  const DWORD error = GetLastError();
  void* value = TlsGetValue(key);
  SetLastError(error);
  return value;
}

int pthread_setspecific(pthread_key_t key, const void* value) {
  return TlsSetValue(key, (void*)value) ? 0 : ENOMEM;
}
