/* A "7z.so" that someone put beside the installer. Loading it is enough to
   run its code: it writes the file named by QLYN_PLANTED_MARKER. */
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

__attribute__((constructor)) static void planted_library_loaded(void) {
  const char* marker = getenv("QLYN_PLANTED_MARKER");
  if (!marker) return;
  int fd = open(marker, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return;
  if (write(fd, "loaded\n", 7) != 7) {
  }
  close(fd);
}
