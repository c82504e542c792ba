#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "batch.hpp"

std::string table_header() {
  std::string h = "path\tchunks";
  char col[16];
  for (const char *curve : {"sum", "tilt", "alt"})
    for (int i = 0; i < curve_points; i++) {
      std::snprintf(col, sizeof col, "\t%s_%03d", curve, i);
      h += col;
    }
  return h;
}

bool is_row(std::string_view line) {
  // A NUL is in no path and no value: a crash's block of zeros that runs
  // into a whole row makes a line of 770 fields, which is still damage.
  return !line.empty() && line.front() != '\t' &&
         line.find('\0') == std::string_view::npos &&
         std::count(line.begin(), line.end(), '\t') == row_fields - 1;
}

table_scan read_table(FILE *f) {
  table_scan scan;
  char *line = nullptr;
  std::size_t cap = 0;
  // getline grows one buffer; it goes on every return.
  const std::unique_ptr<char *, void (*)(char **)> guard(
      &line, [](char **p) { std::free(*p); });
  off_t at = 0;
  bool first = true;
  while (true) {
    const ssize_t n = getline(&line, &cap, f);
    if (n <= 0)
      break;
    const std::string_view l(line, static_cast<std::size_t>(n));
    const bool whole = l.back() == '\n';
    if (first) {
      // Only the header itself, whole, makes a table: anything else is
      // some other file, and stays as it is.
      if (!whole || l.substr(0, l.size() - 1) != table_header())
        return scan;
      scan.header_ok = true;
      first = false;
    } else if (whole) {
      const std::string_view row = l.substr(0, l.size() - 1);
      if (is_row(row))
        scan.rows.push_back({std::string(row.substr(0, row.find('\t'))), at,
                             static_cast<std::size_t>(n)});
      else
        scan.damaged++;
    }
    if (!whole)
      break;
    at += n;
    scan.whole_end = at;
  }
  if (first)
    scan.header_ok = true; // an empty file
  return scan;
}

std::vector<std::string> drop_done(const std::vector<std::string> &sorted_all,
                                   const std::vector<table_row> &done) {
  std::vector<std::string_view> have(done.size());
  std::transform(done.begin(), done.end(), have.begin(),
                 [](const table_row &r) { return std::string_view(r.path); });
  std::sort(have.begin(), have.end());
  std::vector<std::string> left;
  auto d = have.begin();
  for (const std::string &p : sorted_all) {
    while (d != have.end() && *d < p)
      ++d;
    if (d == have.end() || *d != p)
      left.push_back(p);
  }
  return left;
}

bool rows_sorted(const std::vector<table_row> &rows) {
  for (std::size_t i = 1; i < rows.size(); i++)
    if (rows[i].path < rows[i - 1].path)
      return false;
  return true;
}

std::string rewrite_table(const std::string &name, int fd,
                          const std::vector<table_row> &rows) {
  struct stat st {};
  if (fstat(fd, &st) != 0)
    return error_text(errno);
  std::string tmp = name + ".XXXXXX";
  const int out = mkostemp(tmp.data(), O_CLOEXEC);
  if (out < 0)
    return "cannot make a temporary file beside it: " + error_text(errno);
  std::string buf = table_header() + "\n";
  std::string reason;
  for (std::size_t i = 0; i <= rows.size() && reason.empty(); i++) {
    if (i < rows.size()) {
      const std::size_t had = buf.size();
      buf.resize(had + rows[i].length);
      const ssize_t n = pread(fd, &buf[had], rows[i].length, rows[i].at);
      if (n != static_cast<ssize_t>(rows[i].length))
        reason = n < 0 ? error_text(errno) : "the table changed while read";
    }
    if (reason.empty() && (buf.size() >= (1U << 20) || i == rows.size())) {
      if (!write_all(out, buf))
        reason = error_text(errno);
      buf.clear();
    }
  }
  // The new file takes FILE's mode: a private table stays private.
  if (reason.empty() && fchmod(out, st.st_mode & 07777) != 0)
    reason = error_text(errno);
  if (close(out) != 0 && reason.empty())
    reason = error_text(errno);
  if (reason.empty() && rename(tmp.c_str(), name.c_str()) != 0)
    reason = error_text(errno);
  if (!reason.empty())
    unlink(tmp.c_str());
  return reason;
}
