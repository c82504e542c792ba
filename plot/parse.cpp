// Numbers, chunk counts, names and table rows as bandsway-plot reads them.
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "plot.hpp"

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The plain decimal form that bandsway and spline print: no "inf", "nan",
// hex or spaces, which strtod alone would take.
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

// The length in bytes of the UTF-8 character at s[i], or 0 when the bytes
// there are not one (overlong forms, surrogates and C1 controls included).
std::size_t utf8_length(std::string_view s, std::size_t i) {
  const auto b = [&](std::size_t k) {
    return static_cast<unsigned char>(s[k]);
  };
  const unsigned c = b(i);
  std::size_t len = 0;
  unsigned cp = 0;
  if (c >= 0xc2 && c <= 0xdf) {
    len = 2;
    cp = c & 0x1f;
  } else if (c >= 0xe0 && c <= 0xef) {
    len = 3;
    cp = c & 0x0f;
  } else if (c >= 0xf0 && c <= 0xf4) {
    len = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + len > s.size())
    return 0;
  for (std::size_t k = 1; k < len; k++) {
    if ((b(i + k) & 0xc0) != 0x80)
      return 0;
    cp = (cp << 6) | (b(i + k) & 0x3f);
  }
  const bool overlong = (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000);
  const bool bad = overlong || (cp >= 0xd800 && cp <= 0xdfff) ||
                   cp > 0x10ffff || (cp >= 0x80 && cp <= 0x9f);
  return bad ? 0 : len;
}

} // namespace

namespace {

enum class value_fault { none, syntax, infinite, range };

// Parses s without building a message: the table's 768 values a row are
// read on the fast path.
value_fault check_value(std::string_view s, double *v) {
  if (!is_plain_number(s))
    return value_fault::syntax;
  double x = 0;
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
  // A C++ library without from_chars for doubles (libc++ before 17):
  // strtod reads in place, stopping at the byte after s, which cannot
  // continue a number.
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

} // namespace

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

std::string quote(std::string_view s) {
  constexpr std::size_t shown = 40;
  std::string q = "\"";
  for (std::size_t i = 0; i < s.size() && i < shown; i++) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= ' ' && c <= '~' && c != '\\') {
      q += static_cast<char>(c);
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\%03o", c);
      q += esc;
    }
  }
  return q + (s.size() > shown ? "...\"" : "\"");
}

std::string display_name(std::string_view path, std::size_t max_chars) {
  const std::size_t slash = path.rfind('/');
  if (slash != std::string_view::npos && slash + 1 < path.size())
    path = path.substr(slash + 1);
  // Each unit is drawn as one or two characters; a \\ stays whole when the
  // name is cut.
  std::vector<std::string> units;
  std::size_t chars = 0;
  for (std::size_t i = 0; i < path.size();) {
    const auto c = static_cast<unsigned char>(path[i]);
    if (c == '\\') {
      const char next = i + 1 < path.size() ? path[i + 1] : '\0';
      if (next == 't' || next == 'n') {
        units.emplace_back(" ");
        i += 2;
      } else {
        units.emplace_back("\\\\");
        i += next == '\\' ? 2 : 1;
      }
    } else if (c >= ' ' && c <= '~') {
      units.emplace_back(1, static_cast<char>(c));
      i++;
    } else if (const std::size_t len = utf8_length(path, i); len > 0) {
      units.emplace_back(path.substr(i, len));
      i += len;
    } else {
      units.emplace_back("?");
      i++;
    }
    chars += units.back() == "\\\\" ? 2 : 1;
  }
  std::string out;
  if (chars <= max_chars) {
    for (const auto &u : units)
      out += u;
    return out;
  }
  std::size_t used = 0;
  for (const auto &u : units) {
    const std::size_t w = u == "\\\\" ? 2 : 1;
    if (used + w + 3 > max_chars)
      break;
    out += u;
    used += w;
  }
  return out + "...";
}

std::string parse_row(std::string_view text, long line, parsed_row *row) {
  const std::string at = "line " + std::to_string(line);
  std::string_view fields[row_fields];
  std::size_t count = 0;
  std::size_t start = 0;
  for (;;) {
    const std::size_t tab = text.find('\t', start);
    const std::size_t end = tab == std::string_view::npos ? text.size() : tab;
    if (count < row_fields)
      fields[count] = text.substr(start, end - start);
    count++;
    if (tab == std::string_view::npos)
      break;
    start = tab + 1;
  }
  if (count != row_fields)
    return at + ": " + std::to_string(count) + " tab-separated fields, not " +
           std::to_string(row_fields) + " (path, chunks, " +
           std::to_string(row_values) + " values): " + quote(text);
  if (fields[0].empty())
    return at + ": the path is empty";
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
