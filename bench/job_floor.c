/* The floor for a short run: a minimal C program that does the whole job for a
 * file whose answer shows in its first read. It prints the prompt, reads the
 * name, opens the file, creates test.fzz, reads as much as the program's first
 * read, writes the verdict byte and prints the line; dynamically linked, as
 * the program is. Nothing that does the same job can start and answer faster. */
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "floor.h"
#include "scan_sizes.h"

static unsigned char buffer[first_read_bytes];

int main(void) {
  puts("Input File Name");
  fflush(stdout);
  char name[128];
  if (!read_name(name, sizeof name)) return 1;
  const int fd = open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    puts("File Open Error!!");
    return 1;
  }
  FILE* result = fopen("test.fzz", "wb");
  if (result == NULL) return 1;
  const ssize_t got = read(fd, buffer, sizeof buffer);
  unsigned char any = 0;
  for (ssize_t i = 0; i < got; ++i) any |= buffer[i];
  fputc(any != 0, result);
  fclose(result);
  close(fd);
  puts(got <= 0 ? "vacant file" : any != 0 ? "End of duty" : "End of duty(0)");
  return 0;
}
