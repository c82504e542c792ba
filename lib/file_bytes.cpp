// A file's bytes in memory at once: mapped where the system can, so that
// only the pages touched are read and nothing is copied, else read.
#include <cerrno>

#include <sys/mman.h>

#include "companion.hpp"

std::string load_file(int fd, std::size_t size, file_bytes *out) {
  release_file(out);
  if (size == 0)
    return "";
  void *p = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  if (p != MAP_FAILED) {
    // Read ahead: the pages are about to be taken in order.
    static_cast<void>(posix_madvise(p, size, POSIX_MADV_SEQUENTIAL));
    out->mapped = p;
    out->data = static_cast<const char *>(p);
    out->size = size;
    return "";
  }
  // A file system without mmap (some FUSE ones): read it.
  if (!pread_full(fd, 0, size, &out->copy))
    return error_text(errno);
  if (out->copy.size() < size)
    return "cut short while it was read";
  out->data = out->copy.data();
  out->size = size;
  return "";
}

void release_file(file_bytes *b) {
  if (b->mapped != nullptr)
    munmap(b->mapped, b->size);
  b->mapped = nullptr;
  b->copy.clear();
  b->copy.shrink_to_fit();
  b->data = nullptr;
  b->size = 0;
}
