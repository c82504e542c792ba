// A table's rows from its index when that is current, else from the table
// itself, with the index written again for the next query.
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "near.hpp"

namespace {

// Closes a descriptor when it goes out of scope.
struct fd_closer {
  int fd;
  ~fd_closer() { close_fd(&fd); }
};

} // namespace

std::string open_table(const std::string &table, const std::string &name,
                       const measure &m, int threads, bool rebuild,
                       near_table *t, table_source *source, std::string *note) {
  note->clear();
  // Not blocking, so that a FIFO is refused rather than waited on.
  fd_closer in{open(table.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
  if (in.fd < 0)
    return "cannot read " + name + ": " + error_text(errno);
  struct stat st {};
  file_stamp stamp;
  if (fstat(in.fd, &st) != 0 || !stamp_of(in.fd, &stamp))
    return "cannot read " + name + ": " + error_text(errno);
  if (S_ISDIR(st.st_mode))
    return name + " is a folder, not a table";
  if (!S_ISREG(st.st_mode))
    return name + " is not a regular file: the table must be a file, since its "
                  "index is kept beside it";
  const std::string index = index_path(table);
  const bool fits = name_fits(index);
  if (fits && !rebuild && load_index(index, stamp, m, t).empty()) {
    *source = table_source::index;
    return "";
  }
  std::string why = read_table(in.fd, name, m, threads, t);
  if (!why.empty())
    return why;
  // A file without a row is no table worth an index beside it.
  if (t->rows == 0) {
    *source = table_source::scanned;
    return "";
  }
  const std::string shown = shown_path(index);
  const std::string failed =
      fits ? write_index(index, stamp, m, *t)
           : "its name would be longer than the folder allows (NAME_MAX)";
  if (failed.empty()) {
    *source = table_source::built;
    return "";
  }
  *source = table_source::scanned;
  *note = "cannot write the index " + shown + ": " + failed +
          "; answered from the table itself";
  return "";
}

std::string ask(const std::string &table, const std::string &name,
                const measure &m, int threads,
                const std::vector<std::string> &paths,
                const std::vector<query> &qs, std::size_t k, bool rebuild,
                asked *out) {
  // An index is checked whole only as the search reads its vectors: one
  // that turns out damaged is rebuilt from the table, and every query
  // answered again.
  for (int attempt = rebuild ? 1 : 0; attempt < 2; attempt++) {
    out->table = std::make_unique<near_table>();
    near_table &t = *out->table;
    std::string why = open_table(table, name, m, threads, attempt > 0, &t,
                                 &out->source, &out->note);
    if (!why.empty())
      return why;
    out->queries = qs;
    out->missing.clear();
    bool readable = true;
    for (const std::string &p : paths) {
      query q;
      q.name = escape_path(p);
      q.path = q.name;
      std::uint64_t row = 0;
      if (!find_row(t, q.path, &row))
        out->missing.push_back(p);
      else if (!copy_vector(t, row, &q.vec))
        readable = false;
      else
        out->queries.push_back(std::move(q));
    }
    if (readable && search(t, out->queries, k, &out->found))
      return "";
  }
  return "the index of " + name + " is damaged even as just written";
}

std::string ask_rows(const std::string &table, const std::string &name,
                     const measure &m, int threads,
                     const std::vector<std::string> &paths,
                     const std::vector<query> &qs, std::size_t k, asked *out,
                     std::string *rows) {
  bool changed = false;
  for (int attempt = 0; attempt < 2; attempt++) {
    std::string why = ask(table, name, m, threads, paths, qs, k, changed, out);
    if (!why.empty())
      return why;
    fd_closer in{open(table.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
    if (in.fd < 0)
      return "cannot read " + name + ": " + error_text(errno);
    *rows = table_header() + "\n";
    changed = false;
    for (std::size_t i = 0; i < out->queries.size() && why.empty(); i++)
      why =
          table_lines(in.fd, name, *out->table, out->found[i], rows, &changed);
    // Stale rows: read the table again, which also rewrites the index, so
    // that no later query meets them.
    if (!changed)
      return why;
  }
  return name + " changed while it was read; run the query again";
}
