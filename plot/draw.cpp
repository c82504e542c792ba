// The two kinds of picture, from input to the bytes of the picture.
#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

#include "plot.hpp"

std::string draw_curves(int fd, picture_format format, std::string *picture) {
  std::string text;
  std::string why = read_input(fd, &text);
  if (!why.empty())
    return why;
  curves c;
  why = parse_curves(text, &c);
  if (!why.empty())
    return why;
  return run_gnuplot(curves_script(c, format), format, picture);
}

std::string draw_collection(const std::string &table, picture_format format,
                            std::string *picture, long *damaged) {
  const bool from_stdin = table == "-";
  const std::string shown = from_stdin ? "standard input" : shown_path(table);
  int fd = 0;
  if (!from_stdin) {
    fd = open(table.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
      return "cannot read " + shown + ": " + error_text(errno);
  }
  const std::string dir = temp_dir();
  // The packed rows wait for their rank in a file that no other process
  // sees and that goes with its descriptor, whatever ends the run.
  const int rows_fd = unlinked_temp(dir);
  std::string why;
  table_pass pass;
  if (rows_fd < 0)
    why = "cannot write a temporary file in " + shown_path(dir) + ": " +
          error_text(errno);
  else
    why = read_table(fd, shown, rows_fd, shown_path(dir), &pass);
  if (!from_stdin)
    close(fd);
  *damaged = pass.damaged;
  if (why.empty() && pass.keys.empty())
    why = "no rows to draw in " + shown;
  const long n = static_cast<long>(pass.keys.size());
  row_average avg;
  std::vector<std::uint32_t> ranks;
  if (why.empty()) {
    start_average(&avg, picture_rows(n));
    ranks = rank_rows(pass.keys);
    why = average_rows(rows_fd, ranks, &avg, shown_path(dir));
  }
  if (rows_fd >= 0)
    close(rows_fd);
  if (!why.empty())
    return why;
  collection_info info;
  info.table_name = from_stdin ? shown : display_name(table, max_title_chars);
  info.rows = n;
  info.height = avg.height;
  if (n <= max_named_rows) {
    // Names in the order drawn.
    info.names.resize(pass.names.size());
    for (std::size_t i = 0; i < pass.names.size(); i++)
      info.names[ranks[i]] = pass.names[i];
  }
  return run_gnuplot(collection_script(info, finish_average(avg), format),
                     format, picture);
}
