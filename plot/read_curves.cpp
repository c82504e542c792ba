// One file's curves: bandsway's 768 lines, or one row of a batch table.
#include "plot.hpp"

namespace {

// One table row (after an optional header line) as the curves.
std::string parse_one_row(std::string_view text, long nr, curves *out) {
  const std::size_t nl = text.find('\n');
  const std::string_view line = plain_line(text.substr(0, nl), nr == 1);
  const std::string_view rest =
      nl == std::string_view::npos ? "" : text.substr(nl + 1);
  parsed_row r;
  std::string why = parse_row(line, nr, &r);
  if (!why.empty())
    return why;
  if (rest.find_first_not_of("\r\n") != std::string_view::npos)
    return "line " + std::to_string(nr + 1) +
           ": more than one row of the table; give one row, or the table as "
           "an operand to draw them all";
  out->values.assign(r.values, r.values + row_values);
  out->xmax = rate_span(r.chunks);
  out->from_row = true;
  out->title = display_name(r.path, max_title_chars);
  return "";
}

// bandsway's 768 lines as the curves.
std::string parse_lines(std::string_view text, curves *out) {
  long empty = 0;
  long nr = 0;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos)
      end = text.size();
    nr++;
    const std::string_view line =
        plain_line(text.substr(start, end - start), nr == 1);
    start = end + 1;
    // Empty lines at the end are left out; one before more input is not.
    if (line.empty()) {
      if (empty == 0)
        empty = nr;
      continue;
    }
    if (empty != 0)
      return "line " + std::to_string(empty) + " is empty";
    if (out->values.size() >= row_values)
      return "more than " + std::to_string(row_values) +
             " values; stopped at line " + std::to_string(nr);
    // One number, blanks around it allowed.
    const std::size_t first = line.find_first_not_of(" \t");
    const std::size_t last = line.find_last_not_of(" \t");
    const std::string_view number = first == std::string_view::npos
                                        ? std::string_view()
                                        : line.substr(first, last - first + 1);
    if (number.empty() || number.find_first_of(" \t") != std::string_view::npos)
      return "line " + std::to_string(nr) + " is not a number: " + quote(line);
    double v = 0;
    std::string why = parse_value(number, "line " + std::to_string(nr), &v);
    if (!why.empty())
      return why;
    out->values.push_back(v);
  }
  if (out->values.size() != row_values)
    return "expected " + std::to_string(row_values) +
           " values (three curves of " + std::to_string(curve_points) +
           "), got " + std::to_string(out->values.size());
  // The 768 lines do not carry the chunk count that sets the rate span,
  // so value j is drawn at 2j/256 Hz: within 2% of the true rate for
  // recordings of 30 seconds or more.
  out->xmax = grid_hz * (curve_points - 1) / curve_points;
  return "";
}

} // namespace

std::string read_input(int fd, std::string *text) {
  text->clear();
  const int err = read_to_end(fd, text, max_curves_bytes);
  if (err != 0)
    return "cannot read standard input: " + error_text(err);
  // One byte past the bound tells a longer input; no more is kept.
  if (text->size() > max_curves_bytes + 1)
    text->resize(max_curves_bytes + 1);
  return "";
}

std::string parse_curves(std::string_view text, curves *out) {
  out->values.clear();
  out->values.reserve(row_values);
  // text ends where its string ends (read_input keeps one byte past the
  // bound), so that a number at its end is followed by the string's NUL.
  std::string_view body = text;
  long nr = 1;
  const std::size_t nl = text.find('\n');
  if (is_header(plain_line(text.substr(0, nl), true))) {
    body = nl == std::string_view::npos ? "" : text.substr(nl + 1);
    nr = 2;
    if (body.find_first_not_of("\r\n") == std::string_view::npos)
      return "no row after the header line";
  }
  const std::size_t first_end = body.find('\n');
  const bool row =
      body.substr(0, first_end).find('\t') != std::string_view::npos;
  std::string why = row ? parse_one_row(body, nr, out) : parse_lines(body, out);
  if (why.empty() && text.size() > max_curves_bytes)
    why = "the input is longer than " + std::to_string(max_curves_bytes) +
          " bytes";
  else if (!why.empty() && text.size() > max_curves_bytes)
    why += " (stopped reading after " + std::to_string(max_curves_bytes) +
           " bytes)";
  return why;
}
