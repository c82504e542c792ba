// A file replaced whole or not at all: a temporary file beside it, then a
// rename, so that a reader never sees it half written and a failure leaves
// the earlier file as it was.
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "companion.hpp"

std::string start_replace(replacement *r, const std::string &target) {
  r->target = target;
  const std::size_t slash = target.rfind('/');
  std::string dir = slash == std::string::npos ? "." : target.substr(0, slash);
  if (dir.empty())
    dir = "/";
  // A short name of its own, not the target's name with a suffix, which
  // would pass NAME_MAX for a target name near it.
  r->temp = dir + "/.bandsway.XXXXXX";
  r->fd = mkostemp(r->temp.data(), O_CLOEXEC);
  if (r->fd < 0) {
    r->temp.clear();
    return error_text(errno);
  }
  // An earlier file keeps its mode and, for root, its owner: a private
  // file stays private. A new one gets what the umask gives a new file.
  struct stat st {};
  mode_t mode = 0;
  if (stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    mode = st.st_mode & 07777;
    if (geteuid() == 0 && fchown(r->fd, st.st_uid, st.st_gid) != 0) {
      const int err = errno;
      drop_replace(r);
      return error_text(err);
    }
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  if (fchmod(r->fd, mode) != 0) {
    const int err = errno;
    drop_replace(r);
    return error_text(err);
  }
  return "";
}

std::string finish_replace(replacement *r) {
  // A file system may report a failed write only at the close.
  const int closed = close(r->fd);
  r->fd = -1;
  if (closed != 0 || rename(r->temp.c_str(), r->target.c_str()) != 0) {
    const int err = errno;
    drop_replace(r);
    return error_text(err);
  }
  r->temp.clear();
  return "";
}

void drop_replace(replacement *r) {
  close_fd(&r->fd);
  if (!r->temp.empty())
    unlink(r->temp.c_str());
  r->temp.clear();
}
