// Names as a picture draws them: one line, printable, and short.
#include "plot.hpp"

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
    const std::size_t len = utf8_length(path, i);
    const bool c1 = len == 2 && c == 0xc2 &&
                    static_cast<unsigned char>(path[i + 1]) <= 0x9f;
    if (c == '\\') {
      const char next = i + 1 < path.size() ? path[i + 1] : '\0';
      if (next == 't' || next == 'n') {
        units.emplace_back(" ");
        i += 2;
      } else {
        units.emplace_back("\\\\");
        i += next == '\\' ? 2 : 1;
      }
    } else if (len == 0 || c < ' ' || c == 0x7f || c1) {
      units.emplace_back("?");
      i += len == 0 ? 1 : len;
    } else {
      units.emplace_back(path.substr(i, len));
      i += len;
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
