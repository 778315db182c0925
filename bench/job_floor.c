/* The floor for a short run: a minimal C program that does the whole job for a
 * file whose answer shows in its first 64 KiB. It prints the prompt, reads the
 * name with fgets, opens the file, creates test.fzz, reads the first 64 KiB,
 * writes the verdict byte and prints the line; dynamically linked, as the
 * program is. Nothing that does the same job can start and answer faster. */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static unsigned char buffer[64 << 10];

int main(void) {
  puts("Input File Name");
  fflush(stdout);
  char name[128];
  if (fgets(name, sizeof name, stdin) == NULL) return 1;
  name[strcspn(name, "\r\n")] = '\0';
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
