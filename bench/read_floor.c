/* The floor for reading through the page cache: the program's reads, into a
 * buffer mapped as the program maps its own, with no check at all. Takes the
 * file's name as the program does, as one line on standard input. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "floor.h"
#include "scan_sizes.h"

/* The huge page the program's buffer is aligned to. */
enum { huge_page = 2 << 20 };

int main(void) {
  char name[128];
  if (!read_name(name, sizeof name)) return 1;

  unsigned char* raw =
      mmap(NULL, 2 * huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return 1;
  unsigned char* buffer = raw + (huge_page - (uintptr_t)raw % huge_page) % huge_page;
  madvise(buffer, huge_page, MADV_HUGEPAGE);

  const int fd = open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 1;
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  ssize_t got;
  while ((got = read(fd, buffer, scan_block_bytes)) > 0) {
  }
  return got < 0;
}
