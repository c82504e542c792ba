// The two passes over a collection: the table streamed once into keys and
// packed rows on a temporary file, then the packed rows into pixel rows.
#include <cerrno>
#include <memory>

#include <unistd.h>

#include "plot.hpp"

namespace {

// Packed rows written or read at a time.
constexpr std::size_t rows_per_block = 256;
constexpr std::size_t packed_bytes = grid_values * sizeof(std::uint16_t);

std::string temp_error(const char *what, const std::string &tmp_dir, int err) {
  return std::string("cannot ") + what + " a temporary file in " + tmp_dir +
         ": " + error_text(err);
}

// What the first pass does with each line of the table.
struct line_sink {
  table_pass *pass;
  int out_fd;
  const std::string *tmp_dir;
  std::vector<std::uint16_t> packed;
  std::size_t pending = 0;
  parsed_row row;
  float grid[grid_values];
};

std::string flush_rows(line_sink *s) {
  const int err = write_all(
      s->out_fd,
      std::string_view(reinterpret_cast<const char *>(s->packed.data()),
                       s->pending * packed_bytes));
  s->pending = 0;
  return err == 0 ? "" : temp_error("write", *s->tmp_dir, err);
}

std::string take_line(line_sink *s, std::string_view line, long nr) {
  // A header line is skipped wherever it is: tables joined with cat have
  // one at the top of each part.
  if (line.empty() || is_header(line))
    return "";
  const std::string why = parse_row(line, nr, &s->row);
  // bandsway's 768 lines given as the operand, a first try of many: say
  // so once rather than name each line as a damaged row.
  double v = 0;
  if (!why.empty() && nr == 1 && parse_value(line, "", &v).empty())
    return "line 1 is a lone number, as in the curves that bandsway prints "
           "for one file: give those on standard input (bandsway-plot < "
           "FILE), a table as the operand";
  if (!why.empty()) {
    name_damage(&s->pass->damaged, why);
    return "";
  }
  const double xmax = rate_span(s->row.chunks);
  table_pass *pass = s->pass;
  if (pass->keys.size() < max_named_rows)
    pass->names.push_back(display_name(s->row.path, max_name_chars));
  pass->keys.push_back(peak_rate(s->row.values, xmax));
  resample_row(s->row.values, xmax, s->grid);
  pack_row(s->grid, s->packed.data() + s->pending * grid_values);
  return ++s->pending == rows_per_block ? flush_rows(s) : "";
}

} // namespace

std::string read_table(int fd, const std::string &name, int out_fd,
                       const std::string &tmp_dir, table_pass *pass) {
  auto s = std::make_unique<line_sink>();
  s->pass = pass;
  s->out_fd = out_fd;
  s->tmp_dir = &tmp_dir;
  s->packed.resize(rows_per_block * grid_values);
  std::string why = read_lines(
      fd, name,
      [&s](std::string_view line, long nr) {
        return take_line(s.get(), line, nr);
      },
      &pass->damaged);
  sum_damage(pass->damaged);
  if (!why.empty())
    return why;
  return s->pending > 0 ? flush_rows(s.get()) : "";
}

std::string average_rows(int fd, const std::vector<std::uint32_t> &ranks,
                         row_average *avg, const std::string &tmp_dir) {
  if (lseek(fd, 0, SEEK_SET) < 0)
    return temp_error("read", tmp_dir, errno);
  std::vector<std::uint16_t> packed(rows_per_block * grid_values);
  std::vector<float> grid(grid_values);
  const long rows = static_cast<long>(ranks.size());
  for (std::size_t first = 0; first < ranks.size(); first += rows_per_block) {
    const std::size_t n = std::min(rows_per_block, ranks.size() - first);
    const ssize_t got = read_full(fd, reinterpret_cast<char *>(packed.data()),
                                  n * packed_bytes);
    if (got != static_cast<ssize_t>(n * packed_bytes))
      return temp_error("read", tmp_dir, got < 0 ? errno : EIO);
    for (std::size_t i = 0; i < n; i++) {
      unpack_row(packed.data() + i * grid_values, grid.data());
      add_to_average(avg, pixel_row_of(ranks[first + i], rows), grid.data());
    }
  }
  return "";
}
