// A stop signal while an index is being written removes its temporary
// file, then ends the run as the signal would have.
#include <csignal>
#include <cstring>

#include <unistd.h>

#include "near.hpp"

namespace {

volatile std::sig_atomic_t has_temp = 0;
char temp_path[4096];

void on_stop(int sig) {
  if (has_temp != 0)
    unlink(temp_path);
  // Held until this handler returns, then it ends the run by default.
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

} // namespace

void watch_stop_signals() { catch_stop_signals(on_stop); }

void note_temp(const std::string &path) {
  hold_stop_signals(true);
  if (path.size() < sizeof temp_path) {
    std::memcpy(temp_path, path.c_str(), path.size() + 1);
    has_temp = 1;
  }
  hold_stop_signals(false);
}

void forget_temp() { has_temp = 0; }
