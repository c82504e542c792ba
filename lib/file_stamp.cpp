// What tells a file from the one it was before: its size, modification
// and change times, inode and device. A file rewritten in place keeps its
// inode and maybe its size, and its modification time may be put back
// (touch -r, cp -p), but not its change time, which only the system sets;
// one replaced by a rename gets another inode, or, deleted and made again
// on the same inode, another change time.
#include <cerrno>
#include <climits>

#include <sys/stat.h>
#include <unistd.h>

#include "companion.hpp"

bool stamp_of(int fd, file_stamp *out) {
  struct stat st {};
  if (fstat(fd, &st) != 0)
    return false;
  out->size = static_cast<std::uint64_t>(st.st_size);
#if defined(__APPLE__)
  out->mtime_sec = st.st_mtimespec.tv_sec;
  out->mtime_nsec = st.st_mtimespec.tv_nsec;
  out->ctime_sec = st.st_ctimespec.tv_sec;
  out->ctime_nsec = st.st_ctimespec.tv_nsec;
#else
  // POSIX.1-2008: Linux, FreeBSD, NetBSD and OpenBSD have st_mtim and
  // st_ctim.
  out->mtime_sec = st.st_mtim.tv_sec;
  out->mtime_nsec = st.st_mtim.tv_nsec;
  out->ctime_sec = st.st_ctim.tv_sec;
  out->ctime_nsec = st.st_ctim.tv_nsec;
#endif
  out->inode = static_cast<std::uint64_t>(st.st_ino);
  out->device = static_cast<std::uint64_t>(st.st_dev);
  return true;
}

bool same_stamp(const file_stamp &a, const file_stamp &b) {
  return a.size == b.size && a.mtime_sec == b.mtime_sec &&
         a.mtime_nsec == b.mtime_nsec && a.inode == b.inode &&
         a.device == b.device && a.ctime_sec == b.ctime_sec &&
         a.ctime_nsec == b.ctime_nsec;
}

bool name_fits(const std::string &path) {
  const std::size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
  if (dir.empty())
    dir = "/";
  const std::size_t name_size =
      slash == std::string::npos ? path.size() : path.size() - slash - 1;
  errno = 0;
  long most = pathconf(dir.c_str(), _PC_NAME_MAX);
  // No limit known for the folder (or no folder): the system's.
  if (most < 0) {
#ifdef NAME_MAX
    most = NAME_MAX;
#else
    most = 255;
#endif
  }
  return name_size <= static_cast<std::size_t>(most);
}
