// Names and pieces of input in messages: nothing in them can reach a
// terminal as a control sequence.
#include "companion.hpp"

std::size_t utf8_length(std::string_view s, std::size_t i) {
  const auto b = [&](std::size_t k) {
    return static_cast<unsigned char>(s[k]);
  };
  const unsigned c = b(i);
  if (c < 0x80)
    return 1;
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
  const bool bad = overlong || (cp >= 0xd800 && cp <= 0xdfff) || cp > 0x10ffff;
  return bad ? 0 : len;
}

std::string shown_name(std::string_view s) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string out;
  out.reserve(s.size());
  const auto escape = [&](std::size_t from, std::size_t n) {
    for (std::size_t k = from; k < from + n; k++) {
      const auto u = static_cast<unsigned char>(s[k]);
      out += "\\x";
      out += hex[u >> 4];
      out += hex[u & 15];
    }
  };
  for (std::size_t i = 0; i < s.size();) {
    const auto u = static_cast<unsigned char>(s[i]);
    const std::size_t len = utf8_length(s, i);
    // xterm and VTE act on the C1 controls, U+0080 to U+009F (CSI is
    // U+009B), written in UTF-8 as C2 80 to C2 9F.
    const bool c1 =
        len == 2 && u == 0xc2 && static_cast<unsigned char>(s[i + 1]) <= 0x9f;
    if (len == 0) {
      escape(i, 1);
      i++;
    } else if (u < 0x20 || u == 0x7f || c1) {
      escape(i, len);
      i += len;
    } else {
      out.append(s.substr(i, len));
      i += len;
    }
  }
  return out;
}

std::string shown_path(std::string_view raw) {
  return shown_name(escape_path(raw));
}

std::string quote(std::string_view s) {
  constexpr std::size_t shown = 40;
  return "\"" + shown_name(s.substr(0, shown)) +
         (s.size() > shown ? "...\"" : "\"");
}
