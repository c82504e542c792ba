#include <cstring>
#include <string>

#include <unistd.h>

#include "batch.hpp"

namespace {

[[noreturn]] void usage(const std::string &why) {
  if (!why.empty())
    say(why);
  say("usage: bandsway-batch [-j JOBS] [-o FILE] [-S SSHLOGIN[,SSHLOGIN...]] "
      "DIR|FILE...");
  std::exit(2);
}

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
int job_count(const char *s) {
  const std::size_t n = std::strlen(s);
  if (n == 0 || n > 4 || s[0] == '0')
    return 0;
  for (std::size_t i = 0; i < n; i++)
    if (s[i] < '0' || s[i] > '9')
      return 0;
  return static_cast<int>(std::strtol(s, nullptr, 10));
}

} // namespace

// bandsway-batch: runs bandsway over the audio files under the given
// folders and files with GNU parallel, and prints them as one table.
int main(int argc, char **argv) {
  if (argc > 1 && std::strcmp(argv[1], "--job") == 0)
    return job_main(argc, argv);
  driver_options opts;
  opterr = 0;
  int opt = 0;
  while ((opt = getopt(argc, argv, "+:j:o:S:")) != -1) {
    switch (opt) {
    case 'j':
      opts.jobs = job_count(optarg);
      if (opts.jobs == 0)
        usage("-j takes a number of jobs from 1 to 9999, not '" +
              shown_name(escape_path(optarg)) + "'");
      break;
    case 'o':
      if (*optarg == '\0')
        usage("-o takes a file name");
      opts.out = optarg;
      break;
    case 'S':
      if (*optarg == '\0')
        usage("-S takes a list of logins");
      opts.logins = optarg;
      break;
    case ':':
      usage(std::string("-") + static_cast<char>(optopt) + " takes a value");
    default:
      usage(std::string("no option -") + static_cast<char>(optopt));
    }
  }
  for (int i = optind; i < argc; i++)
    opts.args.emplace_back(argv[i]);
  if (opts.args.empty())
    usage("no folder or file given");
  return run_driver(opts);
}
