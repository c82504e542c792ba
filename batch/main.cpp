#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "batch.hpp"

const char *const prog_name = "bandsway-batch";

namespace {

const char *const usage_text =
    "usage: bandsway-batch [-j JOBS] [-o FILE] [-S SSHLOGIN[,SSHLOGIN...]] "
    "DIR|FILE...\n";

[[noreturn]] void usage(const std::string &why) { usage_exit(why, usage_text); }

// Job mode, as parallel starts it: --job [--cwd DIR] BATCH.
int job_main(int argc, char **argv) {
  std::string cwd = "/";
  int i = 2;
  if (i + 1 < argc && std::strcmp(argv[i], "--cwd") == 0) {
    cwd = argv[i + 1];
    i += 2;
  }
  if (i + 1 != argc) {
    say("--job takes [--cwd DIR] and one batch of tab-separated paths");
    return 2;
  }
  return run_job(cwd, argv[i]);
}

// A number of jobs from 1 to 9999, as digits; 0 otherwise.
int job_count(const std::string &s) {
  if (s.empty() || s.size() > 4 || s[0] == '0' ||
      s.find_first_not_of("0123456789") != std::string::npos)
    return 0;
  return std::stoi(s);
}

// Reads the options before the first operand, as POSIX getopt does with
// every C library: -j, -o and -S, each with its value in the same argument
// or the next one.
driver_options parse_options(int argc, char **argv) {
  driver_options opts;
  opts.argv0 = argv[0] != nullptr ? argv[0] : "";
  int i = 1;
  for (; i < argc; i++) {
    const std::string a = argv[i];
    if (a == "--") {
      i++;
      break;
    }
    answer_if_asked(a, usage_text);
    if (a.size() < 2 || a[0] != '-')
      break;
    const char opt = a[1];
    if (opt != 'j' && opt != 'o' && opt != 'S')
      usage("no option " + quote(a));
    if (a.size() == 2 && i + 1 == argc)
      usage(std::string("-") + opt + " takes a value");
    const std::string value = a.size() > 2 ? a.substr(2) : argv[++i];
    if (opt == 'j') {
      opts.jobs = job_count(value);
      if (opts.jobs == 0)
        usage("-j takes a number of jobs from 1 to 9999, not '" +
              shown_path(value) + "'");
    } else if (value.empty()) {
      usage(opt == 'o' ? "-o takes a file name" : "-S takes a list of logins");
    } else {
      (opt == 'o' ? opts.out : opts.logins) = value;
    }
  }
  for (; i < argc; i++)
    opts.args.emplace_back(argv[i]);
  if (opts.args.empty())
    usage("no folder or file given");
  return opts;
}

} // namespace

// bandsway-batch: runs bandsway over the audio files under the given
// folders and files with GNU parallel, and prints them as one table.
int main(int argc, char **argv) {
  if (argc > 1 && std::strcmp(argv[1], "--job") == 0)
    return job_main(argc, argv);
  return run_driver(parse_options(argc, argv));
}
