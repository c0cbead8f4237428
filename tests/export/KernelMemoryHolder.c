/* A drawing tool taken over, as one process: it tries to make the kernel hold memory for it
 * outside its address space, by one road, up to a target.
 *   korvel-memory-holder pipes|memfd|sysv|posix MEGABYTES TOKEN
 * It writes how many bytes it holds to the file "held" in its working folder as it goes, holds
 * them a while once it can get no more, then exits. TOKEN names what it makes outside its
 * folder, so that whoever runs it can find and remove it. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#define MEGABYTE (1024L * 1024L)
#define CHUNK (2 * MEGABYTE)

static long long held = 0;
static int report = -1;

static void tell(void) {
  char line[32];
  int n = snprintf(line, sizeof line, "%020lld\n", held);
  if (report >= 0 && pwrite(report, line, (size_t)n, 0) != n) report = -1;
}

/* A chunk of memory in huge pages where the kernel gives them, filled. */
static char* filledChunk(void) {
  char* area = mmap(NULL, 2 * CHUNK, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (area == MAP_FAILED) return NULL;
  char* aligned = (char*)(((unsigned long)area + CHUNK - 1) & ~(unsigned long)(CHUNK - 1));
  if (aligned > area) munmap(area, (size_t)(aligned - area));
  munmap(aligned + CHUNK, (size_t)(area + 2 * CHUNK - (aligned + CHUNK)));
  madvise(aligned, CHUNK, MADV_HUGEPAGE);
  memset(aligned, 0x5a, CHUNK);
  return aligned;
}

/* Pipes as large as they may be made, each buffer of them given a page of a huge page
 * (vmsplice), which keeps all of it; where that is refused, filled by copies. The pages are
 * unmapped, the pipes kept. */
static void pipes(long long target) {
  int spliced = 1;
  while (held < target) {
    int ends[2];
    if (pipe2(ends, O_NONBLOCK) != 0) return;
    fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);
    for (int full = 0; !full && held < target;) {
      char* chunk = filledChunk();
      if (!chunk) return;
      ssize_t n = -1;
      if (spliced) {
        struct iovec part = {chunk, 4096};
        n = vmsplice(ends[1], &part, 1, SPLICE_F_NONBLOCK);
        if (n > 0) held += CHUNK;
        else if (errno != EAGAIN) spliced = 0;
      }
      if (!spliced) {
        for (long at = 0; at < CHUNK && (n = write(ends[1], chunk + at, (size_t)(CHUNK - at))) > 0; at += n) held += n;
      }
      full = n <= 0;
      munmap(chunk, CHUNK);
      tell();
    }
  }
}

/* Memory files of 300 MB each, kept open. */
static void memoryFiles(long long target) {
  char* chunk = filledChunk();
  if (!chunk) return;
  while (held < target) {
    int fd = (int)syscall(SYS_memfd_create, "held", 0);
    if (fd < 0) return;
    for (long at = 0; at < 300 * MEGABYTE; at += CHUNK) {
      ssize_t n = write(fd, chunk, CHUNK);
      if (n <= 0) return;
      held += n;
    }
    tell();
  }
}

/* System V segments of 256 MB, filled and detached, never removed. */
static void systemV(long long target) {
  while (held < target) {
    int id = shmget(IPC_PRIVATE, 256 * MEGABYTE, IPC_CREAT | 0600);
    if (id < 0) return;
    char* at = shmat(id, NULL, 0);
    if (at == (void*)-1) return;
    memset(at, 0x5a, 256 * MEGABYTE);
    shmdt(at);
    held += 256 * MEGABYTE;
    tell();
  }
}

/* Shared memory by name, as shm_open makes it: files of 300 MB in /dev/shm, closed. */
static void posixShared(long long target, const char* token) {
  char* chunk = filledChunk();
  if (!chunk) return;
  for (int i = 0; held < target; ++i) {
    char name[256];
    snprintf(name, sizeof name, "/dev/shm/%s-%d", token, i);
    int fd = open(name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return;
    for (long at = 0; at < 300 * MEGABYTE; at += CHUNK) {
      ssize_t n = write(fd, chunk, CHUNK);
      if (n <= 0) {
        close(fd);
        return;
      }
      held += n;
    }
    close(fd);
    tell();
  }
}

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  long long target = atoll(argv[2]) * MEGABYTE;
  report = open("held", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  tell();
  if (strcmp(argv[1], "pipes") == 0) pipes(target);
  else if (strcmp(argv[1], "memfd") == 0) memoryFiles(target);
  else if (strcmp(argv[1], "sysv") == 0) systemV(target);
  else if (strcmp(argv[1], "posix") == 0) posixShared(target, argv[3]);
  else return 2;
  tell();
  /* Held long enough for a watcher sampling every few milliseconds to see it. */
  struct timespec pause = {1, 500000000};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
  return 0;
}
