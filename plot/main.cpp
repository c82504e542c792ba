// bandsway-plot: draws the three curves of one recording (bandsway's 768
// lines, or one row of a bandsway-batch table), or a whole table as a
// heatmap, with gnuplot, as PNG, SVG or PDF.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "plot.hpp"

const char *const prog_name = "bandsway-plot";

namespace {

const char *const usage_text =
    "usage: bandsway-plot [-o FILE] < curves-or-row\n"
    "       bandsway-plot [-o FILE] TABLE|-\n";

[[noreturn]] void usage(const std::string &why) { usage_exit(why, usage_text); }

[[noreturn]] void die(const std::string &why) {
  say(why);
  std::exit(1);
}

// The command line once read.
struct plot_options {
  std::string out;
  bool have_out = false;
  std::vector<std::string> operands;
};

plot_options parse_options(int argc, char **argv) {
  plot_options o;
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    if (o.operands.empty())
      answer_if_asked(a, usage_text);
    if (!o.operands.empty() || a == "-" || a.empty() || a[0] != '-') {
      o.operands.push_back(a);
    } else if (a == "--") {
      o.operands.insert(o.operands.end(), argv + i + 1, argv + argc);
      break;
    } else if (a.compare(0, 2, "-o") == 0) {
      if (a.size() == 2 && i + 1 == argc)
        usage("-o needs a file name");
      o.out = a.size() > 2 ? a.substr(2) : argv[++i];
      o.have_out = true;
    } else {
      // The whole argument, so that "--help" is not shown as "--".
      usage("unknown option " + quote(a));
    }
  }
  // Everything after the table is taken as an operand: an option there
  // was most likely meant as one.
  if (o.operands.size() > 1 && o.operands[1].size() > 1 &&
      o.operands[1][0] == '-')
    usage("options go before the table, not after it: " + quote(o.operands[1]));
  if (o.operands.size() > 1)
    usage("one table at a time");
  return o;
}

} // namespace

int main(int argc, char **argv) {
  const plot_options o = parse_options(argc, argv);
  // A closed descriptor 0, 1 or 2 would be reused by the first file or
  // pipe opened, and gnuplot would write its picture or its complaints
  // there: each is noted, then held by /dev/null.
  std_fds was;
  if (!guard_std_fds(&was))
    die("cannot open /dev/null");
  // A closed reader shows as EPIPE on the write, and a file size limit
  // (ulimit -f) as EFBIG, each with a message. A stop signal ends the run
  // at once: nothing is left behind (temporary files are unlinked when
  // made, the picture is written and renamed with the signals held, and
  // gnuplot ends when its input closes).
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);

  picture_format format = picture_format::png;
  if (o.have_out) {
    if (o.out.empty())
      die("-o needs a file name");
    std::string why = check_out(o.out);
    if (why.empty())
      why = format_of(o.out, &format);
    // FILE is checked for writing before the work, not after it.
    if (why.empty())
      why = probe_out(o.out);
    if (!why.empty())
      die(why);
  } else if (!was.out_open) {
    die("standard output is not open for writing");
  } else if (isatty(1) != 0) {
    die("will not write a PNG to a terminal; use -o FILE or redirect");
  }
  const bool reads_stdin = o.operands.empty() || o.operands[0] == "-";
  if (reads_stdin && !was.in_open)
    die("standard input is not open for reading");
  // The picture would replace the table or curves it is drawn from, named
  // or on standard input.
  struct stat in {};
  struct stat out {};
  const bool in_known =
      reads_stdin ? fstat(0, &in) == 0 : stat(o.operands[0].c_str(), &in) == 0;
  if (o.have_out && in_known && stat(o.out.c_str(), &out) == 0 &&
      in.st_dev == out.st_dev && in.st_ino == out.st_ino)
    die("-o " + shown_path(o.out) +
        " is the table itself; give the picture a name of its own");

  std::string picture;
  long damaged = 0;
  const std::string why =
      o.operands.empty()
          ? draw_curves(0, format, &picture)
          : draw_collection(o.operands[0], format, &picture, &damaged);
  if (!why.empty())
    die(why);
  if (o.have_out) {
    const std::string failed = write_out(o.out, picture);
    if (!failed.empty())
      die(failed);
  } else if (const int err = write_all(1, picture); err != 0) {
    die("cannot write the picture to standard output: " + error_text(err));
  }
  // Damaged rows were named as they came; the picture has the rest.
  return damaged > 0 ? 1 : 0;
}
