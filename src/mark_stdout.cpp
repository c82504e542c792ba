#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "defs.hpp"

long long mark_stdout() {
  // spline writes straight to our standard output and exits 0 when those
  // writes fail; on a regular file, where a run starts lets us check
  // afterwards what it left there. Pipes and devices have no such mark.
  struct stat st {};
  if (fstat(1, &st) == -1 || !S_ISREG(st.st_mode))
    return -1;
  // In append mode every write goes to the end, whatever the offset says.
  const int flags = fcntl(1, F_GETFL);
  if (flags != -1 && (flags & O_APPEND) != 0)
    return st.st_size;
  const off_t pos = lseek(1, 0, SEEK_CUR);
  return pos == -1 ? -1 : static_cast<long long>(pos);
}
