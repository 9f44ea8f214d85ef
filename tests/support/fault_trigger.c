// Preloaded into the service to make it meet a fault of its own, as a bug
// would: a thread waits on the FIFO named by VEMO_FAULT_FIFO and, once a
// byte arrives, writes through a null pointer (SIGSEGV raised by the kernel,
// not sent by another process).
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

static void* waitAndFault(void* path) {
  int fd = open((const char*)path, O_RDONLY | O_CLOEXEC);
  char c;
  if (fd < 0 || read(fd, &c, 1) != 1) return NULL;
  *(volatile int*)0 = 1;
  return NULL;
}

__attribute__((constructor)) static void armFaultTrigger(void) {
  const char* path = getenv("VEMO_FAULT_FIFO");
  pthread_t t;
  if (path && pthread_create(&t, NULL, waitAndFault, (void*)path) == 0) pthread_detach(t);
}
