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

void say_about(std::string_view name, std::string_view what) {
  std::string m = shown_name(name);
  m += ": ";
  m += what;
  say(m);
}

std::string error_text(int err) { return std::strerror(err); }
