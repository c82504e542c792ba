#include <cstring>

#include "companion.hpp"

void say(std::string_view message) {
  std::string line = prog_name;
  line += ": ";
  line += message;
  line += '\n';
  // Nothing is left to tell the user if standard error fails.
  static_cast<void>(write_all(2, line));
}

std::string error_text(int err) { return std::strerror(err); }
