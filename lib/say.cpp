#include <cstdlib>
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

void usage_exit(std::string_view why, std::string_view usage) {
  say(why);
  static_cast<void>(write_all(2, usage));
  std::exit(2);
}

void answer_exit(std::string_view text) {
  if (const int err = write_all(1, text); err != 0) {
    say("cannot write to standard output: " + error_text(err));
    std::exit(1);
  }
  std::exit(0);
}

void answer_if_asked(std::string_view arg, std::string_view help) {
  if (arg == "-h" || arg == "--help")
    answer_exit(help);
  if (arg == "--version")
    answer_exit(std::string(prog_name) + " " + BANDSWAY_VERSION + "\n");
}

std::string error_text(int err) { return std::strerror(err); }
