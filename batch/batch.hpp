// The one header of bandsway-batch: the driver that walks a collection and
// hands batches of files to GNU parallel, and the job mode that parallel
// runs on each machine; one concern per source file.
#ifndef BANDSWAY_BATCH_HPP
#define BANDSWAY_BATCH_HPP

#include <sys/types.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "defs.hpp"

// The name every message starts with.
constexpr const char *batch_prog = "bandsway-batch";

// The values bandsway prints for one file, and the fields of a table row:
// the path, the chunks and the values.
constexpr int row_values = 3 * curve_points;
constexpr int row_fields = row_values + 2;

// The most files one job analyses: starting a job costs parallel some
// milliseconds, and a stop loses at most the batches in flight.
constexpr std::size_t max_batch_files = 32;

// The version of what a job prints; a job of another version is refused.
constexpr int job_protocol = 1;

// The start of a job's account line: "#bsw PROTOCOL HOST FILES FAILED",
// then a tab and the first path of its batch.
constexpr std::string_view account_mark = "#bsw ";

// The environment variable that names the lifeline's read end, a pipe
// whose write end only the driver holds: a job that sees it close stops.
constexpr const char *lifeline_env = "BANDSWAY_BATCH_LIFELINE";

// The file name endings looked for under folders, in lower case.
inline constexpr std::string_view audio_extensions[] = {
    "wav", "flac", "ogg", "oga", "opus", "mp3", "aif", "aiff",
    "wv",  "m4a",  "aac", "wma", "mp4",  "mkv", "mka", "webm"};

// Exit statuses of the job: some files failed (each named), or it could
// not go on.
constexpr int job_some_failed = 1;
constexpr int job_broken = 3;

// Paths and messages (io.cpp).

// Writes a path as the table does: a backslash, tab or newline in it as
// \\, \t or \n, so that a row stays one line of tab-separated fields.
std::string escape_path(std::string_view raw);
// Undoes escape_path; any other backslash pair is kept as it stands.
std::string unescape_path(std::string_view escaped);
// Makes an escaped path safe for a terminal: every other control byte and
// DEL are written as \xHH, so that no name can send an escape sequence.
std::string shown_name(std::string_view escaped);
// Writes all of data to fd, retrying short writes and EINTR; false (with
// errno set) when it cannot.
bool write_all(int fd, std::string_view data);
// Prints "bandsway-batch: MESSAGE" and a newline on standard error in one
// write.
void say(std::string_view message);
// Says "NAME: WHAT" as say() does, NAME (an escaped path) made safe by
// shown_name.
void say_about(std::string_view name, std::string_view what);
// c in lower case, if it is an ASCII capital.
char lower_ascii(char c);
// The text of errno value err, as strerror gives it.
std::string error_text(int err);

// Processes (process.cpp).

// Sends SIGINT, SIGTERM and SIGHUP to `handler` and ignores SIGPIPE, so
// that a stop is handled in order and a gone reader is a failed write.
void catch_stop_signals(void (*handler)(int));

// A process to start: its arguments and the descriptors it gets as its
// standard input, output and error (-1: /dev/null).
struct child_spec {
  std::vector<std::string> argv;
  int in = -1;
  int out = -1;
  int err = -1;
};
// Starts spec with posix_spawnp (no shell), with the default signal
// handling and an empty signal mask; returns its pid, or -1 with errno set.
pid_t spawn_child(const child_spec &spec);
// Waits for pid, retrying EINTR; returns its wait status.
int wait_child(pid_t pid);
// Says how a wait status ended: "exited with status N" or "was killed by
// signal N".
std::string status_text(int status);
// Whether name is an executable file in a folder of PATH.
bool on_path(const char *name);
// The formats this machine's sox reads, as "sox -h" lists them, each
// between spaces (" wav flac ... "); "" when sox cannot be run.
std::string sox_formats();
// Creates a pipe whose both ends close on exec; false with errno set.
bool make_pipe(int fds[2]);

// The table (table.cpp).

// The header line of the table, without its newline.
std::string table_header();
// A whole row of an existing table: its escaped path, where the row starts
// and its length with the newline.
struct table_row {
  std::string path;
  off_t at = 0;
  std::size_t length = 0;
};
// What an existing table holds: whether its first line is the header, its
// whole rows, how many lines are damaged (not 770 fields), and where its
// whole lines end (a partial last line starts there).
struct table_scan {
  bool header_ok = false;
  std::vector<table_row> rows;
  std::size_t damaged = 0;
  off_t whole_end = 0;
};
// Reads a table from f; an empty f reads as header_ok with no rows.
table_scan read_table(FILE *f);
// Whether a line (without its newline) is a whole row: 770 fields, no NUL.
bool is_row(std::string_view line);
// The paths of `sorted_all` (byte order) that no row of `done` has.
std::vector<std::string> drop_done(const std::vector<std::string> &sorted_all,
                                   const std::vector<table_row> &done);
// Whether the rows are in byte order of their paths.
bool rows_sorted(const std::vector<table_row> &rows);
// Replaces the table `name` (open as fd) by the header and the given rows,
// copied from fd, through a temporary file beside it and a rename that
// keeps its mode; returns "" or the reason it failed.
std::string rewrite_table(const std::string &name, int fd,
                          const std::vector<table_row> &rows);

// The files to analyse (scan.cpp).

// The escaped paths found, in byte order, each once, and whether an
// argument or a folder under one could not be read in full.
struct scan_result {
  std::vector<std::string> paths;
  bool failed = false;
};
// Walks the arguments: under folders, the regular files whose ending is in
// `extensions` (links followed, loops and dangling links reported); a file
// named itself is taken whatever its name. Stops early when *stop is set.
scan_result scan_arguments(const std::vector<std::string> &args,
                           const std::vector<std::string> &extensions,
                           const volatile sig_atomic_t *stop);

// The two modes (driver.cpp, job.cpp).

// The driver's command line once parsed.
struct driver_options {
  int jobs = 0; // 0: one per processor
  std::string out;
  std::string logins;
  std::vector<std::string> args;
};
// Runs the whole batch; returns the exit status.
int run_driver(const driver_options &opts);
// Analyses one batch (escaped paths, tab-separated; relative ones under
// cwd), printing a row per file and the account line; returns the status.
int run_job(const std::string &cwd, const std::string &batch);

// Whole-file checks (whole_file*.cpp): some decoders say nothing of a file
// cut short, so an Ogg file must end with a whole page that ends the
// stream, and an MP3, FLAC, WAV, AIFF or WavPack file that states its
// length must decode to it.

// What is read of a file: its head, and its tail, which holds the largest Ogg
// page (65,307 bytes) and an ID3v1 tag after it.
constexpr std::uint64_t head_span = 65536;
constexpr std::uint64_t tail_span = 131072 + 128;

// The container that a file's magic bytes show.
enum class media_kind { unknown, ogg, mp3, flac, wav, aiff, wavpack };

// What a file's own bytes say of its length.
struct file_facts {
  media_kind kind = media_kind::unknown; // chosen by magic bytes, never by name
  double stated_seconds = -1; // stated length; -1 when none or unknown
  std::string framing_fault;  // non-empty when the framing alone shows a cut
  double padding_seconds = 0; // an MP3's most encoder delay and padding
};

// Judges the head and tail of a file of `size` bytes (head: its first up to
// head_span bytes; tail: its last up to tail_span); pure, for tests.
file_facts facts_from_bytes(std::string_view head, std::string_view tail,
                            std::uint64_t size);
// Reads the head and tail of the file at `path` (and the head_span bytes after
// a leading ID3v2 tag) and judges them; kind unknown when it cannot be read.
file_facts read_file_facts(const std::string &path);
// "" when `decoded_bytes` of 44.1 kHz s16 stereo agree with the facts;
// otherwise the reason, starting "cut short: ".
std::string judge_length(const file_facts &facts, long long decoded_bytes);

// The parts, by format family.

// Where a file's stream starts: past the ID3v2 tag its head starts with (by
// the tag's untrusted size), else 0.
std::uint64_t stream_start(std::string_view head);
// Judges the first up to head_span bytes of a stream and the file's tail;
// `tagged`: the stream follows an ID3v2 tag, so MP3 frames may follow junk.
file_facts facts_from_stream(std::string_view stream, bool tagged,
                             std::string_view tail);
// "" when an Ogg file's tail ends with a whole page that ends the stream,
// otherwise what is wrong with its end.
std::string ogg_fault(std::string_view tail);
// The MP3 facts of a stream whose first valid frame header is at 0 (or, if
// `search`, anywhere in its first head_span bytes); kind unknown if none.
file_facts mp3_facts(std::string_view stream, bool search);
// The length a FLAC stream's STREAMINFO states, or -1.
double flac_seconds(std::string_view stream);
// The length a RIFF, RF64 or BW64 WAVE head's fmt and data chunks state, or -1.
double wav_seconds(std::string_view head);
// The length an AIFF or AIFC head's COMM chunk states, or -1.
double aiff_seconds(std::string_view head);
// The length a WavPack stream's first block header states, or -1.
double wavpack_seconds(std::string_view stream);

// Byte access that never reads outside the span.

// The unsigned n-byte (n <= 8) little-endian number at `at` in b, or 0 when it
// does not lie wholly within b.
std::uint64_t le_at(std::string_view b, std::uint64_t at, int n);
// The unsigned n-byte (n <= 8) big-endian number at `at` in b, or 0 when it
// does not lie wholly within b.
std::uint64_t be_at(std::string_view b, std::uint64_t at, int n);
// Whether the text s lies at `at` in b.
bool text_at(std::string_view b, std::uint64_t at, std::string_view s);

#endif
