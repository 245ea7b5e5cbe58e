/* The least system work a call of the reader needs, and what reading the
 * whole file per call would cost, timed the same way as the module.  Every
 * buffer starts on a page, and each read lands at its file offset's place in
 * a page, as the module's reads do: the kernel copies into a buffer off a
 * page several times slower, which would flatter the module.
 *
 *   floor reads  PATH N READ GROUP [GROUP ...]
 *                                           each GROUP is "off:len,off:len,...":
 *                                           open, fstat, those positional reads
 *                                           (of at most READ bytes each), close;
 *                                           the groups of one call run in order,
 *                                           each open until the call ends
 *   floor reads-look PATH N READ GROUP ...  the same, with a look at every byte
 *                                           read (see look)
 *   floor stream PATH N READ                open, fstat, read to the end in reads
 *                                           of READ bytes, close
 *   floor look PATH N READ                  the same, with a look at every byte
 *                                           read (their words folded by OR, at
 *                                           the widest vectors the compiler has
 *                                           for the machine): the least a scan
 *                                           for a text must add to the reads
 *   floor whole  PATH N                     open, fstat, read the whole file
 *                                           into a fresh buffer, free, close
 *
 * Which read size costs least depends on the machine (on an Intel VM 256 KiB
 * reads streamed an 8 MiB file 18% faster than 1 MiB reads; on an AMD one
 * 2 MiB reads streamed 256 MiB 45% faster than 256 KiB reads), so the
 * benchmark times several and takes the least.
 *
 * Prints the median time of one call in nanoseconds.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#define MAX_READS 64
#define MAX_GROUPS 8

struct read_range {
  long long offset;
  size_t length;
};

struct group {
  struct read_range reads[MAX_READS];
  int count;
};

#define PAGE 4096

static size_t read_size = 1 << 20;

static unsigned char* buffer;
static size_t buffer_size;

static void die(const char* what) {
  perror(what);
  exit(2);
}

static unsigned char* page_aligned(size_t size) {
  void* memory = NULL;
  if (posix_memalign(&memory, PAGE, size) != 0) die("posix_memalign");
  return memory;
}

/* Room for `size` bytes read from any offset. */
static void ensure_buffer(size_t size) {
  if (size + PAGE > buffer_size) {
    free(buffer);
    buffer_size = size + PAGE;
    buffer = page_aligned(buffer_size);
    /* Touched now, so that the first call timed does not fault its pages in:
       the module's buffers come from pages a warm process has touched. */
    memset(buffer, 0, buffer_size);
  }
}

static void read_exact(int fd, unsigned char* out, size_t length, long long offset) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = pread(fd, out + done, length - done, offset + (long long)done);
    if (n <= 0) die("pread");
    done += (size_t)n;
  }
}

static int open_file(const char* path, struct stat* st) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) die("open");
  if (fstat(fd, st) != 0) die("fstat");
  return fd;
}

static volatile unsigned long long folded;

/* A look at every byte of [p, p + n): 256 bytes a step into four
   accumulators, as the module's loops go (one would wait on each OR in turn). */
static void look_at(const unsigned char* p, size_t n) {
  typedef unsigned long long block __attribute__((vector_size(64)));
  block any[4] = {{0}};
  size_t i = 0;
  for (; i + 256 <= n; i += 256) {
    for (int k = 0; k < 4; ++k) {
      block b;
      memcpy(&b, p + i + 64 * k, 64);
      any[k] |= b;
    }
  }
  for (; i < n; ++i) any[0][0] |= p[i];
  block all = any[0] | any[1] | any[2] | any[3];
  for (int k = 0; k < 8; ++k) folded |= all[k];
}

static void call_reads(const char* path, struct group* groups, int ngroups, int look) {
  int fds[MAX_GROUPS];
  for (int g = 0; g < ngroups; ++g) {
    struct stat st;
    fds[g] = open_file(path, &st);
    for (int r = 0; r < groups[g].count; ++r) {
      const struct read_range* range = &groups[g].reads[r];
      for (size_t done = 0; done < range->length; done += read_size) {
        const long long offset = range->offset + (long long)done;
        const size_t length = range->length - done < read_size ? range->length - done : read_size;
        read_exact(fds[g], buffer + offset % PAGE, length, offset);
        if (look) look_at(buffer + offset % PAGE, length);
      }
    }
  }
  for (int g = ngroups - 1; g >= 0; --g) close(fds[g]);
}

static void call_stream(const char* path, int look) {
  struct stat st;
  int fd = open_file(path, &st);
  for (;;) {
    ssize_t n = read(fd, buffer, read_size);
    if (n < 0) die("read");
    if (n == 0) break;
    if (look) look_at(buffer, (size_t)n);
  }
  close(fd);
}

static void call_whole(const char* path) {
  struct stat st;
  int fd = open_file(path, &st);
  unsigned char* whole = page_aligned((size_t)st.st_size + 1);
  read_exact(fd, whole, (size_t)st.st_size, 0);
  free(whole);
  close(fd);
}

static long long now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static int compare(const void* a, const void* b) {
  long long x = *(const long long*)a, y = *(const long long*)b;
  return (x > y) - (x < y);
}

static void parse_group(char* text, struct group* group) {
  group->count = 0;
  for (char* item = strtok(text, ","); item; item = strtok(NULL, ",")) {
    if (group->count == MAX_READS) die("too many reads");
    struct read_range* r = &group->reads[group->count++];
    if (sscanf(item, "%lld:%zu", &r->offset, &r->length) != 2) die("bad read range");
  }
}

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: floor reads|reads-look|stream|look|whole PATH N [READ [GROUP ...]]\n");
    return 2;
  }
  const char* mode = argv[1];
  const char* path = argv[2];
  const int n = atoi(argv[3]);
  if (argc > 4 && strcmp(mode, "whole") != 0) read_size = (size_t)atoll(argv[4]);
  if (read_size == 0) die("read size");
  struct group groups[MAX_GROUPS];
  int ngroups = 0;
  const int reads = strcmp(mode, "reads") == 0 || strcmp(mode, "reads-look") == 0;
  if (reads) {
    for (int i = 5; i < argc && ngroups < MAX_GROUPS; ++i) parse_group(argv[i], &groups[ngroups++]);
  }
  ensure_buffer(read_size);

  long long* times = malloc(sizeof(long long) * (size_t)n);
  if (!times) die("malloc");
  for (int i = 0; i < n; ++i) {
    long long start = now_ns();
    if (reads) {
      call_reads(path, groups, ngroups, strcmp(mode, "reads-look") == 0);
    } else if (strcmp(mode, "stream") == 0 || strcmp(mode, "look") == 0) {
      call_stream(path, strcmp(mode, "look") == 0);
    } else if (strcmp(mode, "whole") == 0) {
      call_whole(path);
    } else {
      fprintf(stderr, "unknown mode %s\n", mode);
      return 2;
    }
    times[i] = now_ns() - start;
  }
  qsort(times, (size_t)n, sizeof(long long), compare);
  printf("%lld\n", times[n / 2]);
  return 0;
}
