#include <cerrno>
#include <cstring>

#include <unistd.h>

#include "batch.hpp"

std::string escape_path(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  for (const char c : raw) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\t')
      out += "\\t";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

std::string unescape_path(std::string_view escaped) {
  std::string out;
  out.reserve(escaped.size());
  for (std::size_t i = 0; i < escaped.size(); i++) {
    const char c = escaped[i];
    if (c == '\\' && i + 1 < escaped.size()) {
      const char n = escaped[i + 1];
      if (n == '\\' || n == 't' || n == 'n') {
        out += n == '\\' ? '\\' : n == 't' ? '\t' : '\n';
        i++;
        continue;
      }
    }
    out += c;
  }
  return out;
}

std::string shown_name(std::string_view escaped) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string out;
  out.reserve(escaped.size());
  for (const char c : escaped) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) {
      out += "\\x";
      out += hex[u >> 4];
      out += hex[u & 15];
    } else {
      out += c;
    }
  }
  return out;
}

bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t w = write(fd, data.data(), data.size());
    if (w < 0 && errno == EINTR)
      continue;
    if (w <= 0) {
      if (w == 0)
        errno = EIO;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(w));
  }
  return true;
}

void say_about(std::string_view name, std::string_view what) {
  std::string m = shown_name(name);
  m += ": ";
  m += what;
  say(m);
}

void say(std::string_view message) {
  std::string line = batch_prog;
  line += ": ";
  line += message;
  line += '\n';
  // Nothing is left to tell the user if standard error fails.
  static_cast<void>(write_all(2, line));
}

char lower_ascii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string error_text(int err) { return std::strerror(err); }
