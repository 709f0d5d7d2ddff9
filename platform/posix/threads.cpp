/*
** threads.cpp - POSIX emulation of the Win32 critical section: a recursive
** mutex. A process that forks while another thread holds one must still be
** able to take it in the child (where that thread does not exist): every
** critical section is held across fork() and made anew in the child.
** The forks are counted, so that what a child inherited open from its
** parent is known as such.
*/
#include "../platform.h"

#if VEZ_OS_POSIX

#include <pthread.h>

namespace {

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION), "room for a mutex");

pthread_mutex_t *mutex_of(LPCRITICAL_SECTION section) {
  return reinterpret_cast<pthread_mutex_t *>(section->opaque);
}

void make(LPCRITICAL_SECTION section) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(mutex_of(section), &attr);
  pthread_mutexattr_destroy(&attr);
}

/* the critical sections of the process, for fork; a fixed table, as the system has few */
constexpr int MAX_SECTIONS = 8;
LPCRITICAL_SECTION sections[MAX_SECTIONS];
int section_count = 0;
pthread_mutex_t table_lock = PTHREAD_MUTEX_INITIALIZER;

void before_fork() {
  pthread_mutex_lock(&table_lock);
  for (int i = 0; i < section_count; i++)
    pthread_mutex_lock(mutex_of(sections[i]));
}

void after_fork_in_parent() {
  for (int i = section_count; i-- > 0;)
    pthread_mutex_unlock(mutex_of(sections[i]));
  pthread_mutex_unlock(&table_lock);
}

void after_fork_in_child() {
  for (int i = 0; i < section_count; i++)
    make(sections[i]);
  pthread_mutex_init(&table_lock, nullptr);
}

} // namespace

void InitializeCriticalSection(LPCRITICAL_SECTION section) {
  static pthread_once_t once = PTHREAD_ONCE_INIT;
  pthread_once(&once,
               [] { pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child); });
  make(section);
  pthread_mutex_lock(&table_lock);
  if (section_count < MAX_SECTIONS) sections[section_count++] = section;
  pthread_mutex_unlock(&table_lock);
}

void EnterCriticalSection(LPCRITICAL_SECTION section) { pthread_mutex_lock(mutex_of(section)); }

void LeaveCriticalSection(LPCRITICAL_SECTION section) { pthread_mutex_unlock(mutex_of(section)); }

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section) {
  return pthread_mutex_trylock(mutex_of(section)) == 0;
}

namespace {

/* written by the child of a fork, before any other thread exists there; and by the parent,
   in the thread that forked */
DWORD forks = 0;
DWORD forks_made = 0;
pthread_once_t counting = PTHREAD_ONCE_INIT;

void count_forks() {
  pthread_once(&counting, [] {
    pthread_atfork(
        nullptr, [] { __atomic_add_fetch(&forks_made, 1, __ATOMIC_RELAXED); }, [] { forks++; });
  });
}

} // namespace

DWORD VezForkCount(void) {
  count_forks();
  return __atomic_load_n(&forks, __ATOMIC_RELAXED);
}

DWORD VezForksMade(void) {
  count_forks();
  return __atomic_load_n(&forks_made, __ATOMIC_RELAXED);
}

#endif /* VEZ_OS_POSIX */
