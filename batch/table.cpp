// The table as bandsway-batch keeps it: read back on a resume, repaired,
// and rewritten whole.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

#include "batch.hpp"

bool is_row(std::string_view line) {
  parsed_row row;
  return parse_row(line, 0, &row).empty();
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
      if (!whole || l.substr(0, l.size() - 1) != table_header()) {
        scan.spreadsheet = whole && plain_line(l.substr(0, l.size() - 1),
                                               true) == table_header();
        return scan;
      }
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
  replacement r;
  std::string reason = start_replace(&r, name);
  std::string buf = table_header() + "\n";
  for (std::size_t i = 0; i <= rows.size() && reason.empty(); i++) {
    if (i < rows.size()) {
      std::string row;
      if (!pread_full(fd, static_cast<std::uint64_t>(rows[i].at),
                      rows[i].length, &row))
        reason = error_text(errno);
      else if (row.size() != rows[i].length)
        reason = "the table changed while read";
      buf += row;
    }
    if (reason.empty() && (buf.size() >= (1U << 20) || i == rows.size())) {
      const int err = write_all(r.fd, buf);
      if (err != 0)
        reason = error_text(err);
      buf.clear();
    }
  }
  if (reason.empty())
    reason = finish_replace(&r);
  drop_replace(&r);
  return reason;
}
