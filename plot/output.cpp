// The -o rules: FILE is replaced by a rename of a complete temporary file
// beside it, never followed through a link or turned from a device or
// folder into a plain file; a failure leaves an earlier FILE as it was.
#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

#include "plot.hpp"

namespace {

std::string cannot_write(const std::string &out, const std::string &why) {
  return "cannot write " + shown_path(out) + ": " + why;
}

} // namespace

std::string check_out(const std::string &out) {
  const std::string name = shown_path(out);
  std::string folder =
      "-o " + name + " names a folder; give the picture's file name";
  struct stat st {};
  if (lstat(out.c_str(), &st) != 0)
    return !out.empty() && out.back() == '/'
               ? "-o " + name + " ends in a slash; give the picture's file name"
               : "";
  if (S_ISLNK(st.st_mode))
    return "-o " + name +
           " is a symbolic link; give the name of the file it points to";
  if (S_ISDIR(st.st_mode) || out.back() == '/')
    return folder;
  if (!S_ISREG(st.st_mode))
    return "-o " + name +
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
    return "-o " + shown_path(out) +
           ": the name must end in .png, .svg or .pdf, which sets the format";
  return "";
}

std::string probe_out(const std::string &out) {
  // The temporary file is made and removed at once, with the stop signals
  // held, so that a stop leaves nothing behind.
  hold_stop_signals(true);
  replacement r;
  const std::string why = start_replace(&r, out);
  drop_replace(&r);
  hold_stop_signals(false);
  return why.empty() ? "" : cannot_write(out, why);
}

std::string write_out(const std::string &out, const std::string &picture) {
  hold_stop_signals(true);
  replacement r;
  std::string why = start_replace(&r, out);
  if (why.empty()) {
    const int err = write_all(r.fd, picture);
    if (err != 0)
      why = error_text(err);
  }
  // Checked again: FILE may have become a link or a folder meanwhile.
  std::string refused = why.empty() ? check_out(out) : "";
  if (why.empty() && refused.empty())
    why = finish_replace(&r);
  drop_replace(&r);
  hold_stop_signals(false);
  if (!refused.empty())
    return refused;
  return why.empty() ? "" : cannot_write(out, why);
}
