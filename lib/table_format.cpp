// The table that bandsway-batch writes and the other companions read: its
// header, its paths, its numbers and its rows.
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <numeric>

#include "companion.hpp"

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

enum class value_fault : std::uint8_t { none, syntax, infinite, range };

// The value of a plain number of at most 15 significant digits times a
// power of ten within 10^22 of 1, in one rounding, as strtod gives it:
// both the digits and the power are exact doubles, so their product or
// quotient is the correctly rounded value. False for any other number.
// bandsway's values all are such numbers, and a table holds 768 a row:
// this spares from_chars, which in libstdc++ 12 goes through strtod.
bool quick_value(std::string_view s, double *v) {
  static constexpr double powers[] = {
      1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
      1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  std::size_t i = 0;
  const bool negative = s[0] == '-';
  if (s[0] == '-' || s[0] == '+')
    i++;
  std::uint64_t m = 0;
  int digits = 0;
  int exp10 = 0;
  bool fraction = false;
  for (; i < s.size() && (is_digit(s[i]) || s[i] == '.'); i++) {
    if (s[i] == '.') {
      fraction = true;
      continue;
    }
    if (m == 0 && s[i] == '0') { // a leading zero
      exp10 -= fraction ? 1 : 0;
      continue;
    }
    if (++digits > 15)
      return false;
    m = m * 10 + static_cast<std::uint64_t>(s[i] - '0');
    exp10 -= fraction ? 1 : 0;
  }
  if (i < s.size()) { // the exponent: is_plain_number has checked its form
    const std::string_view e = s.substr(i + 1);
    const bool down = e[0] == '-';
    const std::string_view n = e[0] == '-' || e[0] == '+' ? e.substr(1) : e;
    if (n.size() > 3)
      return false;
    const int k = std::accumulate(n.begin(), n.end(), 0, [](int sum, char c) {
      return sum * 10 + (c - '0');
    });
    exp10 += down ? -k : k;
  }
  if (m != 0 && (exp10 < -22 || exp10 > 22))
    return false;
  const auto x = static_cast<double>(m);
  const double r = m == 0      ? 0.0
                   : exp10 < 0 ? x / powers[-exp10]
                               : x * powers[exp10];
  *v = negative ? -r : r;
  return true;
}

// Parses s without building a message: a table's 768 values a row are
// read on the fast path.
value_fault check_value(std::string_view s, double *v) {
  if (!is_plain_number(s))
    return value_fault::syntax;
  double x = 0;
  if (quick_value(s, &x)) {
    *v = x;
    return std::fabs(x) > max_abs_value ? value_fault::range
                                        : value_fault::none;
  }
#if defined(__cpp_lib_to_chars)
  // from_chars takes no plus sign.
  const std::string_view digits = s[0] == '+' ? s.substr(1) : s;
  const auto [end, ec] =
      std::from_chars(digits.data(), digits.data() + digits.size(), x);
  if (ec == std::errc::result_out_of_range) {
    // Too large or too small for a double: strtod tells which (infinity,
    // or a value rounded to zero, which is fine).
    const std::string copy(digits);
    x = std::strtod(copy.c_str(), nullptr);
  } else if (ec != std::errc() || end != digits.data() + digits.size()) {
    return value_fault::syntax;
  }
#else
  // A C++ library without from_chars for doubles (libc++, up to 19 at
  // least): strtod reads in place, stopping at the byte after s, which
  // cannot continue a number.
  char *end = nullptr;
  x = std::strtod(s.data(), &end);
  if (end != s.data() + s.size())
    return value_fault::syntax;
#endif
  if (!std::isfinite(x))
    return value_fault::infinite;
  if (std::fabs(x) > max_abs_value)
    return value_fault::range;
  *v = x;
  return value_fault::none;
}

std::string value_message(value_fault fault, std::string_view s,
                          const std::string &at) {
  switch (fault) {
  case value_fault::none:
    break;
  case value_fault::syntax:
    return at + " is not a number: " + quote(s);
  case value_fault::infinite:
    return at + " is not a finite number: " + quote(s);
  case value_fault::range:
    return at + " is out of range (beyond 1e100): " + quote(s);
  }
  return "";
}

std::string make_header() {
  std::string h = "path\tchunks";
  for (const char *curve : curve_names)
    for (int i = 0; i < curve_points; i++) {
      h += '\t';
      h += curve;
      h += '_';
      h += static_cast<char>('0' + i / 100);
      h += static_cast<char>('0' + i / 10 % 10);
      h += static_cast<char>('0' + i % 10);
    }
  return h;
}

} // namespace

const std::string &table_header() {
  static const std::string header = make_header();
  return header;
}

bool is_header(std::string_view line) {
  constexpr std::string_view start = "path\tchunks\tsum_000";
  // A table saved with a byte order mark keeps it when joined with cat.
  if (line.substr(0, 3) == "\xef\xbb\xbf")
    line.remove_prefix(3);
  return line.substr(0, start.size()) == start;
}

std::string_view plain_line(std::string_view line, bool first) {
  constexpr std::string_view bom = "\xef\xbb\xbf";
  if (first && line.substr(0, bom.size()) == bom)
    line.remove_prefix(bom.size());
  if (!line.empty() && line.back() == '\r')
    line.remove_suffix(1);
  return line;
}

std::string escape_path(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  for (const char c : raw) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\t')
      out += "\\t";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

std::string unescape_path(std::string_view escaped) {
  std::string out;
  out.reserve(escaped.size());
  for (std::size_t i = 0; i < escaped.size(); i++) {
    const char c = escaped[i];
    if (c == '\\' && i + 1 < escaped.size()) {
      const char n = escaped[i + 1];
      if (n == '\\' || n == 't' || n == 'n') {
        out += n == '\\' ? '\\' : n == 't' ? '\t' : '\n';
        i++;
        continue;
      }
    }
    out += c;
  }
  return out;
}

bool is_plain_number(std::string_view s) {
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-'))
    i++;
  std::size_t digits = 0;
  while (i < s.size() && is_digit(s[i])) {
    i++;
    digits++;
  }
  if (i < s.size() && s[i] == '.') {
    i++;
    while (i < s.size() && is_digit(s[i])) {
      i++;
      digits++;
    }
  }
  if (digits == 0)
    return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    i++;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
      i++;
    std::size_t exp_digits = 0;
    while (i < s.size() && is_digit(s[i])) {
      i++;
      exp_digits++;
    }
    if (exp_digits == 0)
      return false;
  }
  return i == s.size();
}

std::string parse_value(std::string_view s, std::string_view where, double *v) {
  return value_message(check_value(s, v), s, std::string(where));
}

bool parse_chunks(std::string_view s, int *chunks) {
  if (s.empty() || s.size() > 9)
    return false;
  int n = 0;
  for (const char c : s) {
    if (!is_digit(c))
      return false;
    n = n * 10 + (c - '0');
  }
  if (n < min_curve_chunks || n > max_chunks)
    return false;
  *chunks = n;
  return true;
}

double rate_span(int chunks) {
  // Bin k of an n-point series transform is k cycles per n quarter
  // seconds, 4k/n Hz; the curves run over bins 0 to n/2 - 1.
  const int last_bin = chunks / 2 - 1;
  return 4.0 * last_bin / chunks;
}

std::string parse_row(std::string_view line, long nr, parsed_row *row) {
  const std::string at = "line " + std::to_string(nr);
  std::string_view fields[row_fields];
  std::size_t count = 0;
  std::size_t start = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', start);
    const std::size_t end = tab == std::string_view::npos ? line.size() : tab;
    if (count < row_fields)
      fields[count] = line.substr(start, end - start);
    count++;
    if (tab == std::string_view::npos)
      break;
    start = tab + 1;
  }
  if (count != row_fields)
    return at + ": " + std::to_string(count) + " tab-separated fields, not " +
           std::to_string(row_fields) + " (path, chunks, " +
           std::to_string(row_values) + " values): " + quote(line);
  if (fields[0].empty())
    return at + ": the path is empty";
  // A NUL is in no path: a crash's block of zeros that runs into a whole
  // row still makes a line of 770 fields.
  if (fields[0].find('\0') != std::string_view::npos)
    return at + ": the path holds a NUL byte";
  if (!parse_chunks(fields[1], &row->chunks))
    return at + ": the chunk count is not a whole number from " +
           std::to_string(min_curve_chunks) + " to " +
           std::to_string(max_chunks) + ": " + quote(fields[1]);
  row->path = fields[0];
  for (int i = 0; i < row_values; i++) {
    const value_fault fault = check_value(fields[i + 2], &row->values[i]);
    if (fault != value_fault::none)
      return value_message(fault, fields[i + 2],
                           at + ", value " + std::to_string(i + 1));
  }
  return "";
}
