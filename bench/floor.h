/* What the floor programs share: the file's name, taken as the program takes
 * it, as one line on standard input. */
#include <string.h>
#include <unistd.h>

/* The name in name[size], or 0 when none came. */
static int read_name(char* name, size_t size) {
  const ssize_t n = read(STDIN_FILENO, name, size - 1);
  if (n <= 0) return 0;
  name[n] = '\0';
  name[strcspn(name, "\r\n")] = '\0';
  return 1;
}
