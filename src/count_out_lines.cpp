#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "defs.hpp"

long long count_out_lines(long long from, long long to, bool *ends_in_newline) {
  *ends_in_newline = false;
  // A file opened for writing only is opened again, for reading, through
  // /dev/fd (Linux, and FreeBSD with fdescfs reopening files); where that
  // is not possible the caller falls back on what the file system says.
  int fd = 1;
  const int flags = fcntl(1, F_GETFL);
  if (flags == -1 || (flags & O_ACCMODE) != O_RDWR) {
    fd = open("/dev/fd/1", O_RDONLY);
    if (fd == -1)
      return -1;
    struct stat out {};
    struct stat back {};
    if (fstat(1, &out) == -1 || fstat(fd, &back) == -1 ||
        out.st_dev != back.st_dev || out.st_ino != back.st_ino) {
      close(fd);
      return -1;
    }
  }
  long long lines = 0;
  unsigned char buf[8192];
  unsigned char last = 0;
  for (long long pos = from; pos < to;) {
    const long long want = to - pos < static_cast<long long>(sizeof buf)
                               ? to - pos
                               : static_cast<long long>(sizeof buf);
    const ssize_t got =
        pread(fd, buf, static_cast<std::size_t>(want), static_cast<off_t>(pos));
    if (got <= 0) {
      lines = -1;
      break;
    }
    for (ssize_t i = 0; i < got; i++)
      lines += buf[i] == '\n' ? 1 : 0;
    last = buf[got - 1];
    pos += got;
  }
  if (fd != 1)
    close(fd);
  *ends_in_newline = lines >= 0 && last == '\n';
  return lines;
}
