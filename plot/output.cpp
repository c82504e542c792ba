// The -o rules: FILE is replaced by a rename of a complete temporary file
// beside it, never followed through a link or turned from a device or
// folder into a plain file; a failure leaves an earlier FILE as it was.
#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#include "plot.hpp"

namespace {

std::string cannot_write(const out_file &out, int err) {
  return "cannot write " + out.path + ": " + std::strerror(err);
}

} // namespace

std::string check_out(const std::string &out) {
  std::string folder =
      "-o " + out + " names a folder; give the picture's file name";
  if (!out.empty() && out.back() == '/')
    return folder;
  struct stat st {};
  if (lstat(out.c_str(), &st) != 0)
    return "";
  if (S_ISLNK(st.st_mode))
    return "-o " + out +
           " is a symbolic link; give the name of the file it points to";
  if (S_ISDIR(st.st_mode))
    return folder;
  if (!S_ISREG(st.st_mode))
    return "-o " + out +
           " is not a regular file (a device, pipe or socket); it is left "
           "alone";
  return "";
}

std::string format_of(const std::string &out, picture_format *format) {
  const std::size_t slash = out.rfind('/');
  const std::size_t dot = out.rfind('.');
  std::string ext;
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
    for (const char c : out.substr(dot + 1))
      ext += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (ext == "png")
    *format = picture_format::png;
  else if (ext == "svg")
    *format = picture_format::svg;
  else if (ext == "pdf")
    *format = picture_format::pdf;
  else
    return "-o " + out +
           ": the name must end in .png, .svg or .pdf, which sets the format";
  return "";
}

std::string open_out(out_file *out) {
  const std::size_t slash = out->path.rfind('/');
  std::string dir =
      slash == std::string::npos ? "." : out->path.substr(0, slash);
  if (dir.empty())
    dir = "/";
  out->part = dir + "/.bandsway-plot.XXXXXX";
  out->fd = make_temp(&out->part, &out->slot);
  if (out->fd < 0)
    return cannot_write(*out, errno);
  // An earlier FILE keeps its mode and, for root, its owner; a new one
  // gets the mode that the umask gives a new file.
  struct stat st {};
  mode_t mode = 0;
  if (stat(out->path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    mode = st.st_mode & 07777;
    if (geteuid() == 0 && fchown(out->fd, st.st_uid, st.st_gid) != 0) {
      const int err = errno;
      drop_out(out);
      return cannot_write(*out, err);
    }
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  if (fchmod(out->fd, mode) != 0) {
    const int err = errno;
    drop_out(out);
    return cannot_write(*out, err);
  }
  return "";
}

void drop_out(out_file *out) {
  if (out->fd >= 0)
    close(out->fd);
  out->fd = -1;
  if (out->slot >= 0)
    unlink(out->part.c_str());
  forget_path(out->slot);
  out->slot = -1;
}

std::string finish_out(out_file *out, const std::string &picture) {
  int err = write_all(out->fd, picture.data(), picture.size());
  if (err == 0) {
    // A file system may report a failed write only at the close.
    if (close(out->fd) != 0)
      err = errno;
    out->fd = -1;
  }
  if (err != 0) {
    drop_out(out);
    return cannot_write(*out, err);
  }
  // Checked again: FILE may have become a link or a folder meanwhile.
  std::string why = check_out(out->path);
  if (why.empty() && rename(out->part.c_str(), out->path.c_str()) != 0)
    why = cannot_write(*out, errno);
  if (!why.empty()) {
    drop_out(out);
    return why;
  }
  forget_path(out->slot);
  out->slot = -1;
  return "";
}
