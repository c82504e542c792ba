// bandsway-plot: draws the three curves of one recording (bandsway's 768
// lines, or one row of a bandsway-batch table), or a whole table as a
// heatmap, with gnuplot, as PNG, SVG or PDF.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "plot.hpp"

namespace {

const char *const usage_text =
    "usage: bandsway-plot [-o FILE] < curves-or-row\n"
    "       bandsway-plot [-o FILE] TABLE|-\n";

[[noreturn]] void usage(const std::string &why) {
  std::fprintf(stderr, "bandsway-plot: %s\n%s", why.c_str(), usage_text);
  std::exit(2);
}

[[noreturn]] void die(out_file *out, const std::string &why) {
  if (out != nullptr)
    drop_out(out);
  std::fprintf(stderr, "bandsway-plot: %s\n", why.c_str());
  std::exit(1);
}

// Whether fd is open, and for writing when `write` is set.
bool is_open(int fd, bool write) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags == -1)
    return false;
  return !write || (flags & O_ACCMODE) != O_RDONLY;
}

} // namespace

int main(int argc, char **argv) {
  std::string out_path;
  bool have_out = false;
  std::vector<std::string> operands;
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    if (!operands.empty() || a == "-" || a.empty() || a[0] != '-') {
      operands.push_back(a);
    } else if (a == "--") {
      operands.insert(operands.end(), argv + i + 1, argv + argc);
      break;
    } else if (a.compare(0, 2, "-o") == 0) {
      if (a.size() == 2 && i + 1 == argc)
        usage("-o needs a file name");
      out_path = a.size() > 2 ? a.substr(2) : argv[++i];
      have_out = true;
    } else {
      // The whole argument, so that "--help" is not shown as "--".
      usage("unknown option " + quote(a));
    }
  }
  // Everything after the table is taken as an operand: an option there
  // was most likely meant as one.
  if (operands.size() > 1 && operands[1].size() > 1 && operands[1][0] == '-')
    usage("options go before the table, not after it: " + quote(operands[1]));
  if (operands.size() > 1)
    usage("one table at a time");

  // A closed descriptor 0, 1 or 2 would be reused by the first file or
  // pipe opened, and gnuplot would write its picture or its complaints
  // there: each is noted, then held by /dev/null.
  const bool in_open = is_open(0, false);
  const bool out_open = is_open(1, true);
  for (int fd = 0; fd < 3; fd++)
    if (!is_open(fd, false) && open("/dev/null", O_RDWR) != fd)
      die(nullptr, "cannot open /dev/null");

  picture_format format = picture_format::png;
  out_file out;
  out.path = out_path;
  if (have_out) {
    if (out_path.empty())
      die(nullptr, "-o needs a file name");
    std::string why = check_out(out_path);
    if (why.empty())
      why = format_of(out_path, &format);
    if (!why.empty())
      die(nullptr, why);
  } else if (!out_open) {
    die(nullptr, "standard output is not open for writing");
  } else if (isatty(1) != 0) {
    die(nullptr, "will not write a PNG to a terminal; use -o FILE or redirect");
  }
  const bool reads_stdin = operands.empty() || operands[0] == "-";
  if (reads_stdin && !in_open)
    die(nullptr, "standard input is not open for reading");

  watch_signals();
  // FILE is checked for writing before the work, not after it.
  if (have_out) {
    const std::string why = open_out(&out);
    if (!why.empty())
      die(nullptr, why);
  }
  out_file *const keep = have_out ? &out : nullptr;
  std::string picture;
  long damaged = 0;
  const std::string why =
      operands.empty()
          ? draw_curves(0, format, &picture)
          : draw_collection(operands[0], format, &picture, &damaged);
  if (!why.empty())
    die(keep, why);
  if (have_out) {
    const std::string failed = finish_out(&out, picture);
    if (!failed.empty())
      die(nullptr, failed);
  } else if (const int err = write_all(1, picture.data(), picture.size());
             err != 0) {
    die(nullptr, std::string("cannot write the picture to standard output: ") +
                     std::strerror(err));
  }
  // Damaged rows were named as they came; the picture has the rest.
  return damaged > 0 ? 1 : 0;
}
