// The two kinds of picture, from input to the bytes of the picture.
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "plot.hpp"

namespace {

std::string temp_error(const std::string &dir, int err) {
  return "cannot write a temporary file in " + dir + ": " + std::strerror(err);
}

// A temporary file that goes when this goes, on every path out.
struct temp_file {
  std::string path;
  int fd = -1;
  int slot = -1;
  temp_file() = default;
  temp_file(const temp_file &) = delete;
  temp_file &operator=(const temp_file &) = delete;
  ~temp_file() {
    if (fd >= 0)
      close(fd);
    if (slot >= 0)
      unlink(path.c_str());
    forget_path(slot);
  }
};

std::string make_file(const std::string &dir, temp_file *f) {
  f->path = dir + "/bandsway-plot.XXXXXX";
  f->fd = make_temp(&f->path, &f->slot);
  return f->fd < 0 ? temp_error(dir, errno) : "";
}

} // namespace

std::string draw_curves(int fd, picture_format format, std::string *picture) {
  std::string text;
  std::string why = read_input(fd, &text);
  if (!why.empty())
    return why;
  curves c;
  why = parse_curves(text, &c);
  if (!why.empty())
    return why;
  return run_gnuplot(curves_script(c, format), picture);
}

std::string draw_collection(const std::string &table, picture_format format,
                            std::string *picture, long *damaged) {
  const bool from_stdin = table == "-";
  const std::string name =
      from_stdin ? "standard input" : display_name(table, max_title_chars);
  int fd = 0;
  if (!from_stdin) {
    fd = open(table.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
      return "cannot read " + table + ": " + std::strerror(errno);
  }
  const std::string dir = temp_dir();
  // The packed rows wait for their rank in a file that no other process
  // sees and that goes with the last descriptor.
  temp_file rows;
  std::string why = make_file(dir, &rows);
  if (why.empty()) {
    unlink(rows.path.c_str());
    forget_path(rows.slot);
    rows.slot = -1;
  }
  table_pass pass;
  if (why.empty())
    why = read_table(fd, from_stdin ? name : table, rows.fd, dir, &pass);
  if (!from_stdin)
    close(fd);
  *damaged = pass.damaged;
  if (!why.empty())
    return why;
  if (pass.keys.empty())
    return "no rows to draw in " + (from_stdin ? name : table);
  const long n = static_cast<long>(pass.keys.size());
  row_average avg;
  start_average(&avg, picture_rows(n));
  const std::vector<std::uint32_t> ranks = rank_rows(pass.keys);
  why = average_rows(rows.fd, ranks, &avg, dir);
  if (!why.empty())
    return why;
  collection_info info;
  info.table_name = name;
  info.rows = n;
  info.height = avg.height;
  if (n <= max_named_rows) {
    // Names in the order drawn.
    info.names.resize(pass.names.size());
    for (std::size_t i = 0; i < pass.names.size(); i++)
      info.names[ranks[i]] = pass.names[i];
  }
  const std::vector<float> matrix = finish_average(avg);
  temp_file data;
  why = make_file(dir, &data);
  if (why.empty()) {
    const int err =
        write_all(data.fd, reinterpret_cast<const char *>(matrix.data()),
                  matrix.size() * sizeof(float));
    if (err != 0)
      why = temp_error(dir, err);
  }
  if (!why.empty())
    return why;
  return run_gnuplot(collection_script(info, data.path, format), picture);
}
