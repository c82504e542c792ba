#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "defs.hpp"

void check_curve(const char *curve, std::size_t len, const char *curve_name) {
  // A spline that was cut off, or printed something else than a curve,
  // may still exit 0: only 256 whole lines pass for one.
  if (len > max_curve_bytes) {
    std::fprintf(stderr,
                 "error do_spline: \"%s\" printed more than %zu bytes, not "
                 "a curve of %d lines\n",
                 spline_cmd, max_curve_bytes, curve_points);
    std::exit(1);
  }
  long lines = 0;
  for (std::size_t i = 0; i < len; i++)
    lines += curve[i] == '\n' ? 1 : 0;
  // feed_spline stops reading at the first line past a curve: how many
  // more spline would have printed is not known.
  if (lines > curve_points) {
    std::fprintf(stderr,
                 "error do_spline: \"%s\" printed more than %d lines for the "
                 "%s curve\n",
                 spline_cmd, curve_points, curve_name);
    std::exit(1);
  }
  const bool whole = len == 0 || curve[len - 1] == '\n';
  if (lines != curve_points || !whole) {
    std::fprintf(stderr,
                 "error do_spline: \"%s\" printed %ld line%s%s, not the %d "
                 "of a curve\n",
                 spline_cmd, lines, lines == 1 ? "" : "s",
                 whole ? "" : " and a part of one", curve_points);
    std::exit(1);
  }

  // Every line goes out as one value, and whoever reads the curves takes
  // each line for a number: a message, a blank line, "nan" or a terminal
  // escape must stop here. spline prints values as C's %g does: an optional
  // sign, digits with an optional fraction, an optional exponent.
  auto skip_digits = [](const char *&p, const char *end) {
    const char *const first = p;
    while (p < end && *p >= '0' && *p <= '9')
      ++p;
    return p != first;
  };
  auto is_number = [&skip_digits](const char *p, const char *end) {
    if (p < end && (*p == '+' || *p == '-'))
      ++p;
    bool number = skip_digits(p, end);
    if (p < end && *p == '.') {
      ++p;
      number = skip_digits(p, end) || number;
    }
    if (number && p < end && (*p == 'e' || *p == 'E')) {
      ++p;
      if (p < end && (*p == '+' || *p == '-'))
        ++p;
      number = skip_digits(p, end);
    }
    return number && p == end;
  };
  const char *line = curve;
  for (int k = 1; k <= curve_points; k++) {
    // Every line has its newline: the count above says so.
    std::size_t line_len = 0;
    while (line[line_len] != '\n')
      line_len++;
    const char *const end = line + line_len;
    // The syntax holds, so strtod stops at the newline; a value too large
    // for a double (1e999) comes back infinite.
    if (is_number(line, end) && std::isfinite(std::strtod(line, nullptr))) {
      line = end + 1;
      continue;
    }
    // The line may hold anything: shown with every byte that a terminal
    // could act on, and the backslash, as \xHH, and cut short.
    constexpr std::size_t shown_bytes = 40;
    const std::size_t cut = std::min(line_len, shown_bytes);
    char shown[4 * shown_bytes + 1];
    std::size_t used = 0;
    for (std::size_t i = 0; i < cut; i++) {
      const auto c = static_cast<unsigned char>(line[i]);
      if (c < 0x20 || c >= 0x7f || c == '\\')
        used += static_cast<std::size_t>(
            std::snprintf(shown + used, sizeof shown - used, "\\x%02x", c));
      else
        shown[used++] = static_cast<char>(c);
    }
    shown[used] = '\0';
    std::fprintf(stderr,
                 "error do_spline: \"%s\" printed line %d of the %s curve "
                 "that is not a number: \"%s\"",
                 spline_cmd, k, curve_name, shown);
    if (line_len > cut)
      std::fprintf(stderr, " and %zu bytes more", line_len - cut);
    std::fputc('\n', stderr);
    std::exit(1);
  }
}
