#include <cstring>

#include "defs.hpp"

void fill_zeros(int len, unsigned char *buf, int got) {
  if (got < len)
    std::memset(buf + got, 0, static_cast<std::size_t>(len - got));
}
