// bandsway-near: the files of a collection whose pulse is most like a given
// one's, from a bandsway-batch table and the index kept beside it.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "near.hpp"

const char *const prog_name = "bandsway-near";

namespace {

const char *const usage_text =
    "usage: bandsway-near [-k N] [-r] TABLE [PATH ...]\n"
    "       bandsway-near -h | --help | --version\n";

const char *const help_text =
    "Prints the rows of TABLE, a bandsway-batch table, whose pulse is most\n"
    "like each PATH's (a path as TABLE holds it) or, with no PATH, like the\n"
    "table rows or bandsway's 768 lines on standard input, nearest first:\n"
    "query, rank, distance (0 to 1) and path, tab-separated. An index is\n"
    "kept beside TABLE, as TABLE.near, and rebuilt when TABLE changes.\n"
    "Options:\n"
    "  -k N        the N nearest rows of each query (default 10)\n"
    "  -r          print the nearest rows themselves, as a table\n"
    "  -h, --help  print this summary and exit\n"
    "  --version   print the version and exit\n";

[[noreturn]] void usage(const std::string &why) { usage_exit(why, usage_text); }

// A k from 1 to 999,999,999, as digits; 0 otherwise.
std::size_t parse_k(const std::string &s) {
  if (s.empty() || s.size() > 9 || s[0] == '0' ||
      s.find_first_not_of("0123456789") != std::string::npos)
    return 0;
  return static_cast<std::size_t>(std::strtoul(s.c_str(), nullptr, 10));
}

struct options {
  std::size_t k = 10;
  bool rows = false;
  std::vector<std::string> operands;
};

// Options come before the operands, as POSIX utilities take them: a path
// after TABLE that starts with a dash is a path.
options read_options(int argc, char **argv) {
  options o;
  int i = 1;
  for (; i < argc; i++) {
    const std::string a = argv[i];
    if (a == "--") {
      i++;
      break;
    }
    answer_if_asked(a, std::string(usage_text) + help_text);
    if (a.size() < 2 || a[0] != '-')
      break;
    if (a[1] == '-')
      usage("unknown option " + quote(a));
    for (std::size_t j = 1; j < a.size(); j++) {
      if (a[j] == 'r') {
        o.rows = true;
        continue;
      }
      if (a[j] != 'k')
        usage("unknown option " + quote(std::string("-") + a[j]));
      if (j + 1 == a.size() && i + 1 == argc)
        usage("-k needs a number");
      const std::string n = j + 1 < a.size() ? a.substr(j + 1) : argv[++i];
      o.k = parse_k(n);
      if (o.k == 0)
        usage("-k takes a whole number from 1 to 999999999, not " + quote(n));
      break;
    }
  }
  o.operands.assign(argv + i, argv + argc);
  if (o.operands.empty())
    usage("no TABLE given");
  return o;
}

// Parsing the table is most of a first query's work: one thread per
// processor parses while this one reads.
int parse_threads() {
  const unsigned n = std::thread::hardware_concurrency();
  return static_cast<int>(std::clamp(n, 1U, 8U));
}

} // namespace

int main(int argc, char **argv) {
  std_fds was;
  if (!guard_std_fds(&was)) {
    say("cannot open /dev/null");
    return 1;
  }
  const options o = read_options(argc, argv);
  watch_stop_signals();
  if (!was.out_open) {
    say("standard output is not open for writing");
    return 1;
  }
  const std::string &table = o.operands[0];
  const std::string name = shown_path(table);
  const std::vector<std::string> paths(o.operands.begin() + 1,
                                       o.operands.end());
  const measure m;
  long failed = 0;
  std::vector<query> qs;
  if (paths.empty()) {
    if (!was.in_open) {
      say("standard input is not open: give PATHs, or the query on "
          "standard input");
      return 1;
    }
    if (isatty(0) != 0)
      usage("no PATH, and standard input is a terminal: give PATHs, or "
            "pipe a row of a table or bandsway's curves in");
    const std::string why = read_queries(0, "standard input", m, &qs, &failed);
    if (!why.empty())
      say(why);
    // Nothing to ask: the table is not worth reading.
    if (qs.empty())
      return 1;
  }

  asked a;
  std::string out;
  const std::string why =
      o.rows
          ? ask_rows(table, name, m, parse_threads(), paths, qs, o.k, &a, &out)
          : ask(table, name, m, parse_threads(), paths, qs, o.k, false, &a);
  if (!why.empty()) {
    say(why);
    return 1;
  }
  const near_table &t = *a.table;
  if (!a.note.empty())
    say(a.note);
  const long damaged = name_table_damage(t, name);
  if (t.rows == 0) {
    say(name + " has no rows to search");
    return 1;
  }
  for (const std::string &p : a.missing) {
    std::string msg = shown_path(p);
    msg += ": no row in ";
    msg += name;
    msg += " (paths are matched as the table holds them";
    if (p.size() > 1 && p[0] == '-')
      msg += "; options go before TABLE";
    msg += "); analyse it first: bandsway-batch ";
    msg += shown_path(p);
    msg += " | bandsway-near ";
    msg += name;
    say(msg);
    failed++;
  }

  if (!o.rows) {
    out = answer_header();
    for (std::size_t i = 0; i < a.queries.size(); i++)
      out += answer_lines(t, a.queries[i], a.found[i]);
  }
  if (const int err = write_all(1, out); err != 0) {
    say("cannot write to standard output: " + error_text(err));
    return 1;
  }
  return failed > 0 || damaged > 0 ? 1 : 0;
}
