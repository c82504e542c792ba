// A table streamed line by line, in blocks, however large it is; damaged
// lines named one by one, then only counted.
#include <cerrno>
#include <cstring>

#include "companion.hpp"

namespace {

constexpr std::size_t read_block = 4 << 20;

} // namespace

void name_damage(long *damaged, const std::string &why) {
  if (++*damaged <= max_named_damage)
    say(why + "; skipped");
}

void sum_damage(long damaged) {
  if (damaged > max_named_damage)
    say(std::to_string(damaged) +
        " damaged rows in all were skipped; only "
        "the first " +
        std::to_string(max_named_damage) + " are named");
}

std::string read_lines(int fd, const std::string &name, const line_taker &take,
                       long *damaged) {
  // One byte more than is read, for a NUL after the last line.
  std::vector<char> buf(read_block + 1);
  std::size_t have = 0; // bytes in buf, from its start
  long nr = 0;
  bool skipping = false; // in the rest of an overlong line
  bool at_end = false;
  while (!at_end) {
    const ssize_t got = read_some(fd, buf.data() + have, read_block - have);
    if (got < 0)
      return "cannot read " + name + ": " + error_text(errno);
    at_end = got == 0;
    have += static_cast<std::size_t>(got);
    buf[have] = '\0';
    std::size_t start = 0;
    for (;;) {
      const char *nl = static_cast<const char *>(
          std::memchr(buf.data() + start, '\n', have - start));
      const std::size_t end =
          nl != nullptr ? static_cast<std::size_t>(nl - buf.data()) : have;
      if (nl == nullptr && !at_end) {
        if (have - start < max_table_line)
          break;
        // An overlong line is damage, named once; the rest of it is
        // dropped as it comes.
        if (!skipping)
          name_damage(damaged, "line " + std::to_string(nr + 1) +
                                   ": longer than " +
                                   std::to_string(max_table_line) + " bytes");
        skipping = true;
        start = have;
        break;
      }
      if (skipping) {
        skipping = false;
        nr++;
      } else if (end > start || nl != nullptr) {
        nr++;
        std::string why =
            take(plain_line(std::string_view(buf.data() + start, end - start),
                            nr == 1),
                 nr);
        if (!why.empty())
          return why;
      }
      start = end + 1;
      if (nl == nullptr)
        break;
    }
    if (start < have) {
      std::memmove(buf.data(), buf.data() + start, have - start);
      have -= start;
    } else {
      have = 0;
    }
  }
  return "";
}
