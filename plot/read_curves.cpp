// One file's curves: bandsway's 768 lines, or one row of a batch table.
#include <cerrno>
#include <cstring>

#include <unistd.h>

#include "plot.hpp"

std::string read_input(int fd, std::string *text) {
  text->clear();
  char buf[16384];
  while (text->size() <= max_curves_bytes) {
    const ssize_t got = read_some(fd, buf, sizeof buf);
    if (got < 0)
      return std::string("cannot read standard input: ") + std::strerror(errno);
    if (got == 0)
      break;
    text->append(buf, static_cast<std::size_t>(got));
  }
  // One byte past the bound tells a longer input; no more is kept.
  if (text->size() > max_curves_bytes + 1)
    text->resize(max_curves_bytes + 1);
  return "";
}

std::string parse_curves(std::string_view text, curves *out) {
  const std::string header = "path\tchunks\tsum_000";
  std::size_t bytes = 0;
  long empty = 0;
  long rows = 0;
  bool header_seen = false;
  enum { unknown, row, lines } mode = unknown;
  out->values.clear();
  out->values.reserve(row_values);
  // A message, with a note when the input was cut at the bound by then.
  const auto stop = [&](std::string msg) {
    if (bytes > max_curves_bytes)
      msg += " (stopped reading after " + std::to_string(max_curves_bytes) +
             " bytes)";
    return msg;
  };
  long nr = 0;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos)
      end = text.size();
    const std::string_view line = text.substr(start, end - start);
    start = end + 1;
    nr++;
    bytes += line.size() + 1;
    // Empty lines at the end are left out; one before more input is not.
    if (line.empty()) {
      if (empty == 0)
        empty = nr;
      continue;
    }
    if (empty != 0)
      return stop("line " + std::to_string(empty) + " is empty");
    if (nr == 1 && line.substr(0, header.size()) == header) {
      header_seen = true;
      continue;
    }
    if (mode == unknown)
      mode = line.find('\t') != std::string_view::npos ? row : lines;
    if (mode == row) {
      if (rows++ > 0)
        return stop("line " + std::to_string(nr) +
                    ": more than one row of the table; give one row, or "
                    "the table as an operand to draw them all");
      parsed_row r;
      std::string why = parse_row(line, nr, &r);
      if (!why.empty())
        return stop(why);
      out->values.assign(r.values, r.values + row_values);
      out->xmax = rate_span(r.chunks);
      out->from_row = true;
      out->title = display_name(r.path, max_title_chars);
      continue;
    }
    if (out->values.size() >= row_values)
      return stop("more than " + std::to_string(row_values) +
                  " values; stopped at line " + std::to_string(nr));
    // One number, blanks around it allowed.
    const std::size_t first = line.find_first_not_of(" \t");
    const std::size_t last = line.find_last_not_of(" \t");
    const std::string_view number = first == std::string_view::npos
                                        ? std::string_view()
                                        : line.substr(first, last - first + 1);
    if (number.empty() || number.find_first_of(" \t") != std::string_view::npos)
      return stop("line " + std::to_string(nr) +
                  " is not a number: " + quote(line));
    double v = 0;
    std::string why = parse_value(number, "line " + std::to_string(nr), &v);
    if (!why.empty())
      return stop(why);
    out->values.push_back(v);
  }
  if (text.size() > max_curves_bytes)
    return stop("the input is longer than " + std::to_string(max_curves_bytes) +
                " bytes");
  if (mode == unknown && header_seen)
    return "no row after the header line";
  if (out->values.size() != row_values)
    return "expected " + std::to_string(row_values) +
           " values (three curves of " + std::to_string(curve_points) +
           "), got " + std::to_string(out->values.size());
  if (mode == lines) {
    // The 768 lines do not carry the chunk count that sets the rate span,
    // so value j is drawn at 2j/256 Hz: within 2% of the true rate for
    // recordings of 30 seconds or more.
    out->xmax = grid_hz * (curve_points - 1) / curve_points;
  }
  return "";
}
