#include "base/diag/fil.h"

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "base/diag/cvr.h"

FILE* diag_fopen(const char* path) {
#ifdef _WIN32
  // Binary: a line ends in the one byte written, and the light log's lines keep their length.
  const int fd = _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_NOINHERIT | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (CVR(fd < 0)) return nullptr;
  FILE* f = _fdopen(fd, "wb");
  if (CVR(f == nullptr)) _close(fd);
  return f;
#else
  // Not blocking: a FIFO put there would hold the open for ever.
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  if (CVR(fd < 0)) return nullptr;
  struct stat st{};
  if (CVR(fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || fcntl(fd, F_SETFL, 0) != 0)) {
    close(fd);
    return nullptr;
  }
  FILE* f = fdopen(fd, "w");
  if (CVR(f == nullptr)) close(fd);
  return f;
#endif
}
