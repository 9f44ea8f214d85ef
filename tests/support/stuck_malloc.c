// Preloaded into the service to reproduce the worst crash: glibc finding heap
// corruption inside malloc and calling abort() while its arena lock is held.
// Every malloc goes through one non-recursive lock; SIGWINCH arms the fault
// and allocates, so abort() runs inside "the allocator" with the lock taken
// and any allocation by the crash handler then blocks for ever.
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>

extern void* __libc_malloc(size_t size);

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static volatile sig_atomic_t armed = 0;
// Keeps the compiler from dropping the allocation whose result is unused.
static void* volatile sink;

void* malloc(size_t size) {
  pthread_mutex_lock(&lock);
  if (armed) abort();
  void* p = __libc_malloc(size);
  pthread_mutex_unlock(&lock);
  return p;
}

static void corruptHeap(int sig) {
  (void)sig;
  armed = 1;
  sink = malloc(16);
}

__attribute__((constructor)) static void installTrigger(void) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = corruptHeap;
  sigemptyset(&action.sa_mask);
  sigaction(SIGWINCH, &action, NULL);
}
