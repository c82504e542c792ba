// The driver: from the command line to a whole table, step by step.
#include <algorithm>
#include <cerrno>
#include <climits>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "batch.hpp"

namespace {

volatile sig_atomic_t stop_signal = 0;

void on_stop_signal(int sig) {
  if (stop_signal == 0)
    stop_signal = sig;
}

// The formats this machine's sox reads, as "sox -h" lists them, each
// between spaces (" wav flac ... "); "" when sox cannot be run.
std::string sox_formats() {
  child_spec spec;
  spec.argv = {"sox", "-h"};
  child_output got;
  if (run_child(spec, "", &got, 0) == -1)
    return "";
  constexpr std::string_view mark = "AUDIO FILE FORMATS: ";
  const std::size_t at = got.out.find(mark);
  if (at == std::string::npos)
    return "";
  const std::size_t from = at + mark.size();
  const std::size_t end = got.out.find('\n', from);
  return " " + got.out.substr(from, end - from) + " ";
}

// Whether this machine runs jobs: with no -S, or with ":" among its logins
// (as "N/:" too).
bool runs_here(const std::string &logins) {
  if (logins.empty())
    return true;
  std::size_t from = 0;
  while (from <= logins.size()) {
    const std::size_t end = std::min(logins.find(',', from), logins.size());
    std::string login = logins.substr(from, end - from);
    const std::size_t slash = login.find('/');
    if (slash != std::string::npos)
      login.erase(0, slash + 1);
    if (login == ":")
      return true;
    from = end + 1;
  }
  return false;
}

// Says what this run's machines lack; false when the run cannot start.
bool check_tools(const driver_options &opts) {
  std::string missing;
  if (!on_path("parallel"))
    missing += " parallel";
  if (runs_here(opts.logins)) {
    for (const char *cmd : {"bandsway", "spline"})
      if (!on_path(cmd))
        missing += std::string(" ") + cmd;
    if (!on_path("sox") && !on_path("ffmpeg"))
      missing += " sox (or ffmpeg)";
  }
  if (missing.empty())
    return true;
  say("not on the PATH:" + missing +
      " (sox, ffmpeg, plotutils' spline and GNU parallel are packages; "
      "bandsway is this project)");
  return false;
}

// The endings looked for: on this machine, each that its sox decodes, or
// any when it has ffmpeg; with remote machines only, every one (their jobs
// choose their decoders).
std::vector<std::string> chosen_extensions(const driver_options &opts) {
  std::vector<std::string> extensions;
  const bool here = runs_here(opts.logins);
  const std::string formats = here ? sox_formats() : "";
  const bool have_ffmpeg = !here || on_path("ffmpeg");
  if (!have_ffmpeg)
    say("ffmpeg is not installed: files that this sox cannot decode (such "
        "as m4a, aac, opus, wma, mp4) are not looked for");
  for (const std::string_view e : audio_extensions)
    if (have_ffmpeg ||
        formats.find(" " + std::string(e) + " ") != std::string::npos)
      extensions.emplace_back(e);
  return extensions;
}

// The job slots of the run: per machine, -j or one per processor.
std::size_t job_slots(const driver_options &opts) {
  const std::size_t hosts =
      opts.logins.empty()
          ? 1
          : 1 + static_cast<std::size_t>(
                    std::count(opts.logins.begin(), opts.logins.end(), ','));
  const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  return (opts.jobs > 0 ? static_cast<std::size_t>(opts.jobs)
                        : static_cast<std::size_t>(std::max(1L, cpus))) *
         hosts;
}

// The folder the run starts in, which relative paths are under; "" after
// saying why it cannot be told (a path longer than PATH_MAX).
std::string current_folder() {
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) != nullptr)
    return cwd;
  say("cannot tell the current folder: " + error_text(errno));
  return "";
}

// Prints the header: on standard output, or into a table still empty;
// returns "" or why it could not.
std::string write_header(table_file *t, bool stdout_closed) {
  const std::string header = table_header() + "\n";
  if (t == nullptr) {
    const int err = stdout_closed ? EBADF : write_all(1, header);
    return err == 0 ? ""
                    : "cannot write to standard output: " + error_text(err);
  }
  if (t->whole != 0)
    return "";
  const int err = write_all(t->fd, header);
  if (err != 0) {
    static_cast<void>(ftruncate(t->fd, 0));
    return "cannot write to " + shown_path(t->name) + ": " + error_text(err);
  }
  t->whole = static_cast<off_t>(header.size());
  return "";
}

// Removes a table that this run made and left without even its header:
// it would only puzzle the user.
void drop_new_table(const table_file *t) {
  if (t != nullptr && t->made && t->whole == 0)
    unlink(t->name.c_str());
}

// Runs parallel over the batches and takes its jobs' output; returns
// parallel's wait status, or -1 when it could not start. The header is
// printed only once parallel has started, so that a run that cannot start
// prints nothing.
int run_parallel(const driver_options &opts, const std::string &cwd, run &r,
                 table_file *t, int batch_fd, bool stdout_closed) {
  int rows[2] = {-1, -1};
  int life[2] = {-1, -1};
  if (!make_pipe(rows) || !make_pipe(life)) {
    say("cannot make a pipe: " + error_text(errno));
    return -1;
  }
  // Only this process holds the lifeline's write end: when it ends, even
  // by SIGKILL, the jobs on this machine end themselves.
  fcntl(life[0], F_SETFD, 0);
  setenv(lifeline_env, std::to_string(life[0]).c_str(), 1);
  hold_stop_signals(true);
  const pid_t par =
      start_parallel(opts, cwd, r.batch_starts.size(), batch_fd, rows[1]);
  close_fd(&rows[1]);
  close_fd(&life[0]);
  if (par < 0) {
    close_fd(&rows[0]);
    close_fd(&life[1]);
    return -1;
  }
  // A header that cannot be written stops parallel at once.
  r.write_error = write_header(t, stdout_closed);
  collect(r, t, par, rows[0], &life[1], &stop_signal);
  close_fd(&rows[0]);
  const int status = wait_child(par);
  close_fd(&life[1]);
  return status;
}

// Says what went wrong with the jobs; true when the run was cut short.
bool report(const driver_options &opts, const run &r, int pstatus) {
  // 1 to 101 count failed jobs, which name their files; more is parallel's
  // own failure.
  const bool parallel_failed =
      WIFSIGNALED(pstatus) || WEXITSTATUS(pstatus) > 101;
  bool cut = r.wrong_version;
  if (parallel_failed) {
    say("parallel " + status_text(pstatus));
    cut = true;
  }
  // Rows of another version's jobs are left out; the version is named.
  const std::size_t damaged = r.damaged + (r.wrong_version ? 0 : r.unstarted);
  if (damaged != 0) {
    say(std::to_string(damaged) +
        " lines of the jobs' output came damaged (a job cut off?) and were "
        "left out of the table; run again for their files");
    cut = true;
  }
  // Files with neither a row nor an account, and files whose rows came
  // but whose job was cut off before its account.
  const std::size_t missing = r.missing;
  if (r.accounted < r.todo.size() && missing == 0) {
    say(std::to_string(r.todo.size() - r.accounted) + " of " +
        std::to_string(r.todo.size()) +
        " files got rows from jobs that were cut off before their account; "
        "run again to have them accounted for");
    cut = true;
  } else if (r.accounted < r.todo.size()) {
    // parallel names its own failure (a full TMPDIR, where it keeps the
    // jobs' output); only a remote machine can lack this program.
    say(std::to_string(missing) + " of " + std::to_string(r.todo.size()) +
        " files were neither analysed nor reported: " +
        (parallel_failed ? std::string("parallel failed")
                         : std::string("their jobs did not run or were cut "
                                       "off")) +
        (opts.logins.empty() ? ""
                             : " (is bandsway-batch on each machine's PATH?)"));
    cut = true;
  }
  return cut;
}

} // namespace

int run_driver(const driver_options &opts) {
  std_fds was;
  if (!guard_std_fds(&was))
    return 1;
  catch_stop_signals(on_stop_signal);
  const std::string cwd = current_folder();
  if (cwd.empty() || !check_tools(opts))
    return 1;

  table_file table;
  table_file *t = nullptr;
  std::vector<table_row> done;
  if (!opts.out.empty()) {
    table.name = opts.out;
    t = &table;
    int status = 0;
    done = open_table(table, &status);
    if (status != 0)
      return status;
  }

  scan_result found =
      scan_arguments(opts.args, chosen_extensions(opts), &stop_signal);
  if (stop_signal == 0 && found.paths.empty()) {
    say("no audio files found");
    drop_new_table(t);
    return 1;
  }
  run r;
  r.todo = t != nullptr ? drop_done(found.paths, done) : std::move(found.paths);
  std::vector<table_row>().swap(done);
  int pstatus = 0;
  if (stop_signal == 0 && !r.todo.empty()) {
    r.batch_starts = make_batches(r.todo.size(), job_slots(opts));
    r.state.assign(r.todo.size(), pending);
    r.batches.assign(r.batch_starts.size(), waiting);
    if (t == nullptr)
      r.held.resize(r.todo.size());
    if (t == nullptr && !was.out_open) {
      say("cannot write to standard output: " + error_text(EBADF));
      return 1;
    }
    const int batch_fd = write_batches(r);
    pstatus = batch_fd < 0
                  ? -1
                  : run_parallel(opts, cwd, r, t, batch_fd, !was.out_open);
    if (batch_fd >= 0)
      close(batch_fd);
    if (pstatus == -1) {
      drop_new_table(t);
      return 1;
    }
  }
  drop_new_table(t);

  if (!r.write_error.empty()) {
    say(r.write_error);
    if (t != nullptr && t->whole != 0)
      say(shown_path(t->name) + " keeps the rows written before; run again to "
                                "go on");
    return 1;
  }
  r.missing = static_cast<std::size_t>(
      std::count(r.state.begin(), r.state.end(), pending));
  if (t == nullptr) {
    // Rows held behind a batch that never gave its account.
    for (std::size_t i = r.next; i < r.todo.size(); i++)
      r.state[i] = settled;
    advance(r);
    if (!r.write_error.empty()) {
      say(r.write_error);
      return 1;
    }
  }
  if (stop_signal != 0)
    say("stopped by " + signal_name(stop_signal));
  if (stop_signal != 0 || (!r.todo.empty() && report(opts, r, pstatus))) {
    if (t != nullptr)
      say(shown_path(t->name) + " keeps the finished rows; run the same "
                                "command again to go on");
    return stop_signal != 0 ? 128 + stop_signal : 1;
  }
  if (t != nullptr) {
    // Every file has been through: the table is replaced by a sorted copy
    // only once the copy is whole.
    const std::string why = sort_table(table);
    if (!why.empty()) {
      say("cannot rewrite " + shown_path(t->name) + " in sorted order: " + why +
          "; its rows are whole, in the order they finished");
      return 1;
    }
  }
  return found.failed || r.failed != 0 ? 1 : 0;
}
