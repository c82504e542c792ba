// The table FILE of -o: locked for the run, repaired when a crash cut it,
// and left in sorted order at the end.
#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "batch.hpp"

namespace {

// Reads the table back from a descriptor of its own, from its start.
bool scan_table(int fd, table_scan *scan) {
  const int rfd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  FILE *f = rfd < 0 ? nullptr : fdopen(rfd, "r");
  if (f == nullptr) {
    if (rfd >= 0)
      close(rfd);
    return false;
  }
  const bool ok = std::fseek(f, 0, SEEK_SET) == 0;
  if (ok)
    *scan = read_table(f);
  const bool read_failed = !ok || ferror(f) != 0;
  const int err = errno;
  std::fclose(f);
  errno = err;
  return !read_failed;
}

} // namespace

std::vector<table_row> open_table(table_file &t, int *status) {
  const std::string name = shown_path(t.name);
  *status = 1;
  struct stat st {};
  // FILE is replaced through a rename at the end: a link or a device would
  // be replaced by a plain file, and a pipe cannot be read back.
  const bool existed = lstat(t.name.c_str(), &st) == 0;
  t.made = !existed && errno == ENOENT;
  if (existed && !S_ISREG(st.st_mode)) {
    say(name + " is a symbolic link or not a regular file; give the "
               "table's own path");
    return {};
  }
  for (int attempt = 0; attempt < 2; attempt++) {
    close_fd(&t.fd);
    t.fd = open(t.name.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (t.fd < 0) {
      say("cannot write " + name + ": " + error_text(errno));
      return {};
    }
    // One run at a time: a second one would add every row again.
    if (flock(t.fd, LOCK_EX | LOCK_NB) != 0) {
      say(name + " is in use by another run (or by what is left of one); "
                 "try again when it has ended");
      return {};
    }
    table_scan scan;
    if (!scan_table(t.fd, &scan)) {
      say("cannot read " + name + ": " + error_text(errno));
      return {};
    }
    if (scan.spreadsheet) {
      // Rows appended as this program writes them would mix two kinds of
      // line end, and a resume would take every CRLF row for damage.
      say(name + " has a byte order mark or CRLF line ends, as a "
                 "spreadsheet saves a table; -o appends only to a table as "
                 "bandsway-batch writes it: remove them (sed -e "
                 "'1s/^\\xef\\xbb\\xbf//' -e 's/\\r$//') or give a new "
                 "table; left as it is");
      return {};
    }
    if (!scan.header_ok) {
      say(name + " is not a table of this program (its first line is not "
                 "the header); left as it is");
      return {};
    }
    if (fstat(t.fd, &st) != 0 ||
        (st.st_size > scan.whole_end && ftruncate(t.fd, scan.whole_end) != 0)) {
      say(name + ": cannot remove a partial row: " + error_text(errno));
      return {};
    }
    t.whole = scan.whole_end;
    if (scan.damaged == 0) {
      *status = 0;
      return std::move(scan.rows);
    }
    // A crash can leave worse than a cut last line (a block of zeros after
    // a power cut): such rows are dropped, and their files redone.
    const std::string why = rewrite_table(t.name, t.fd, scan.rows);
    if (!why.empty()) {
      std::string m = name;
      m += " has damaged rows and cannot be rewritten without them: ";
      m += why;
      say(m);
      return {};
    }
    say(name + ": dropped damaged rows; their files are analysed again");
  }
  say("cannot write " + name + ": it keeps changing");
  return {};
}

std::string sort_table(const table_file &t) {
  table_scan scan;
  if (!scan_table(t.fd, &scan))
    return "cannot read it back: " + error_text(errno);
  if (rows_sorted(scan.rows))
    return "";
  std::stable_sort(
      scan.rows.begin(), scan.rows.end(),
      [](const table_row &a, const table_row &b) { return a.path < b.path; });
  return rewrite_table(t.name, t.fd, scan.rows);
}
