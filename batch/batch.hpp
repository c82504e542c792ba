// The one header of bandsway-batch: the driver that walks a collection and
// hands batches of files to GNU parallel, and the job mode that parallel
// runs on each machine; one concern per source file. What it shares with
// the other companions (the table format, children, I/O, names in
// messages) is in the companions' library.
#ifndef BANDSWAY_BATCH_HPP
#define BANDSWAY_BATCH_HPP

#include <sys/types.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "companion.hpp"

// The most files one job analyses: starting a job costs parallel some
// milliseconds, and a stop loses at most the batches in flight.
constexpr std::size_t max_batch_files = 32;

// The version of what a job prints; a job of another version is refused.
constexpr int job_protocol = 2;

// A job's own lines: "\tbsw start PROTOCOL HOST" before its rows and
// "\tbsw end PROTOCOL HOST FILES FAILED" after them, each then a tab and
// the first path of its batch; and each row as "\tbsw row LENGTH", a tab
// and the row. They start with a tab, which no row can start with (a row's
// first field is a path, never empty, whose tabs are escaped), so that no
// file name can pass for one; a row's length keeps out a line that
// parallel made of two jobs' output when one was cut off in mid-row.
constexpr std::string_view job_mark = "\tbsw ";
// What jobs of protocol 1 began their account line with, to name a
// machine that still runs one.
constexpr std::string_view old_account_mark = "#bsw ";

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

// The table (table.cpp).

// A whole row of an existing table: its escaped path, where the row starts
// and its length with the newline.
struct table_row {
  std::string path;
  off_t at = 0;
  std::size_t length = 0;
};
// What an existing table holds: whether its first line is the header, its
// whole rows, how many lines are damaged (not a row of 770 fields with a
// chunk count and 768 finite numbers), and where its whole lines end (a
// partial last line starts there).
struct table_scan {
  bool header_ok = false;
  bool spreadsheet = false; // the header with a byte order mark or CRLF
  std::vector<table_row> rows;
  std::size_t damaged = 0;
  off_t whole_end = 0;
};
// Reads a table from f; an empty f reads as header_ok with no rows.
table_scan read_table(FILE *f);
// Whether a line (without its newline) is a whole row of the table.
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

// The lower-case ending of the last part of a path, without its dot.
std::string extension_of(std::string_view path);
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

// The driver (driver.cpp, table_file.cpp, parallel.cpp, collect.cpp).

// The driver's command line once parsed.
struct driver_options {
  std::string argv0; // as this program was started
  int jobs = 0;      // 0: one per processor
  std::string out;
  std::string logins;
  std::vector<std::string> args;
};
// Runs the whole batch; returns the exit status.
int run_driver(const driver_options &opts);

// What the driver knows of the table FILE, with -o.
struct table_file {
  std::string name;  // as given
  int fd = -1;       // open for appending, and locked
  off_t whole = 0;   // the end of its last whole row
  bool made = false; // this run created it
};
// Opens, locks and checks t.name; repairs a cut last line and drops
// damaged rows. Returns the rows it holds, or sets *status (to 1, after
// saying why) when the run must end.
std::vector<table_row> open_table(table_file &t, int *status);
// Leaves the table in sorted order, as one uninterrupted run writes it;
// returns "" or why it could not.
std::string sort_table(const table_file &t);

// Where a file of the run stands.
enum file_state : std::uint8_t { pending, has_row, settled };
// Where a batch of the run stands: its job has not begun, has shown the
// right protocol (its rows are taken), or has given its account.
enum batch_state : std::uint8_t { waiting, started, accounted };
// The state of a run once its files are known.
struct run {
  std::vector<std::string> todo;         // escaped paths, sorted
  std::vector<std::size_t> batch_starts; // index of each batch's first
  std::vector<file_state> state;         // per file
  std::vector<batch_state> batches;      // per batch
  std::vector<std::string> held;         // rows waiting for earlier ones
  std::size_t next = 0;                  // the next row for stdout
  std::size_t accounted = 0;             // files in the jobs' accounts
  std::size_t failed = 0;                // files named as failed
  std::size_t damaged = 0;               // lines that were not rows
  std::size_t unstarted = 0;             // rows before their job's start
  std::size_t missing = 0;    // files with neither a row nor an account
  bool wrong_version = false; // a job of another protocol
  std::string write_error;    // the table or stdout failed
};
// Splits n files into batches for `slots` job slots; returns the index of
// each batch's first file.
std::vector<std::size_t> make_batches(std::size_t n, std::size_t slots);
// The index after the last file of batch b.
std::size_t batch_end(const run &r, std::size_t b);
// Writes the batches, NUL-terminated, to an unlinked temporary file, which
// becomes parallel's standard input; -1 after saying why it cannot.
int write_batches(const run &r);
// Starts parallel on the batches, its jobs in the folder cwd and its
// output on rows_fd; -1 after saying why it cannot.
pid_t start_parallel(const driver_options &opts, const std::string &cwd,
                     std::size_t batches, int batch_fd, int rows_fd);
// Takes one line of the jobs' output, with its newline: a row, or a job's
// start or account. Rows go to the table t, or in order to standard
// output, only from a job that has shown the right protocol.
void take_line(run &r, table_file *t, std::string_view line);
// Prints the rows that are next on standard output, in order.
void advance(run &r);
// Reads the jobs' output from rows_fd until parallel (par) and its jobs
// are done, stopping them when *stop is set or a write failed; closes
// *life_w, the lifeline, to stop this machine's jobs.
void collect(run &r, table_file *t, pid_t par, int rows_fd, int *life_w,
             const volatile sig_atomic_t *stop);

// The job (job.cpp, analyse.cpp, relay.cpp).

// Analyses one batch (escaped paths, tab-separated; relative ones under
// cwd), printing a row per file and the account line; returns the status.
int run_job(const std::string &cwd, const std::string &batch);
// What a job knows of its machine.
struct job_context {
  std::string host; // this machine's name, for messages
  bool have_sox = false;
  bool have_ffmpeg = false;
  std::vector<std::string> sox_refused;        // endings sox has no handler for
  int life = -1;                               // the lifeline's read end, or -1
  const volatile sig_atomic_t *stop = nullptr; // a stop signal's number
  std::vector<char> buf;                       // for the relay
};
// What analysing one file came to: its row, or the reason it has none.
struct file_outcome {
  std::string row;
  std::string reason;
  bool stopped = false;
};
// Decodes and analyses the file at path (name: as the table holds it).
file_outcome analyse(const std::string &name, const std::string &path,
                     job_context &job);
// One file's decoder, bandsway, and what came out of them.
struct run_state {
  pid_t decoder = -1;
  pid_t bandsway = -1;
  int decoder_spawn_errno = 0;
  int bandsway_spawn_errno = 0;
  int decoder_status = 0;
  int bandsway_status = 0;
  long long bytes = 0; // relayed to bandsway
  bool capped = false; // the decoder was cut off past max_chunks
  std::string decoder_msgs;
  std::string values;
  std::string bandsway_msgs;
  bool stopped = false;
};
// Starts the decoder and bandsway and relays the decoded audio between
// them, counting it, until both are done or the job must stop (a signal
// in *job.stop, or the lifeline closed).
void decode_and_analyse(run_state &st, const std::vector<std::string> &decoder,
                        job_context &job);

// Whole-file checks (whole_file*.cpp): some decoders say nothing of a file
// cut short, so an Ogg file must end with a whole page that ends the
// stream, and an MP3, FLAC, WAV, AIFF or WavPack file that states its
// length must decode to it.

// What is read of a file: its head, and its tail, which holds the largest Ogg
// page (65,307 bytes) and an ID3v1 tag after it.
constexpr std::uint64_t head_span = 65536;
constexpr std::uint64_t tail_span = 131072 + 128;

// The container that a file's magic bytes show.
enum class media_kind : std::uint8_t {
  unknown,
  ogg,
  mp3,
  flac,
  wav,
  aiff,
  wavpack
};

// A length that a header states: frames at their rate in Hz; a rate of 0
// when it states none, or none that can be trusted.
struct stated_length {
  std::uint64_t frames = 0;
  double rate = 0;
};

// What a file's own bytes say of its length.
struct file_facts {
  media_kind kind = media_kind::unknown; // chosen by magic bytes, never by name
  stated_length stated;        // an MP3's holds its encoder delay and padding
  std::uint64_t droppable = 0; // stated frames a whole decode may leave out
  std::uint64_t addable = 0;   // frames a whole decode may add (an MP3's)
  std::string framing_fault;   // non-empty when the framing alone shows a cut
};

// Reads up to n bytes of a file from offset at into *out (fewer at its
// end); false when it cannot.
using span_reader =
    std::function<bool(std::uint64_t at, std::uint64_t n, std::string *out)>;
// Judges a file of `size` bytes from its head, its tail and, past a leading
// ID3v2 tag, the head of its stream, each read through `read`.
file_facts facts_from_file(const span_reader &read, std::uint64_t size);
// Reads the file at `path` and judges it as facts_from_file does; kind
// unknown when it cannot be read.
file_facts read_file_facts(const std::string &path);
// "" when `decoded_bytes` of 44.1 kHz s16 stereo agree with the facts;
// otherwise the reason: "cut short: ..." or that it decodes to more.
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
// The length a FLAC stream's STREAMINFO states.
stated_length flac_length(std::string_view stream);
// The length a RIFF, RF64 or BW64 WAVE head's fmt and data chunks state.
stated_length wav_length(std::string_view head);
// The length an AIFF or AIFC head's COMM chunk states.
stated_length aiff_length(std::string_view head);
// The length a WavPack stream's first block header states.
stated_length wavpack_length(std::string_view stream);

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
