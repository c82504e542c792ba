// A table streamed line by line, however large it is; damaged lines named
// one by one, then only counted.
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
  block_reader r;
  start_blocks(&r, fd, read_block);
  line_block b;
  std::string why;
  for (bool got = true; why.empty();) {
    why = next_block(&r, name, &b, &got);
    if (!why.empty() || !got)
      break;
    // An overlong line is damage, named once.
    if (b.overlong)
      name_damage(damaged, "line " + std::to_string(b.first_nr) +
                               ": longer than " +
                               std::to_string(max_table_line) + " bytes");
    else
      for_each_line(
          b, [&](std::string_view line, long nr, std::uint64_t, std::size_t) {
            if (why.empty())
              why = take(line, nr);
          });
  }
  return why;
}
