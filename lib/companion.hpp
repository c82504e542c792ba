// The one header of the companions' library: what bandsway-batch,
// bandsway-plot and bandsway-near share. Descriptor I/O, children, signals,
// names made safe for a terminal, atomic replacement of a file, the table
// format and the rate grid; one concern per source file.
#ifndef BANDSWAY_COMPANION_HPP
#define BANDSWAY_COMPANION_HPP

#include <sys/types.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "defs.hpp"

// The name that every message of the program starts with; each program
// (and the unit tests) defines it once.
extern const char *const prog_name;

// Messages (say.cpp).

// Prints "PROG: MESSAGE" and a newline on standard error in one write.
void say(std::string_view message);
// Says "NAME: WHAT" as say() does, NAME (an escaped path, as the table
// holds it) made safe by shown_name.
void say_about(std::string_view name, std::string_view what);
// Says why, prints the usage on standard error and exits 2.
[[noreturn]] void usage_exit(std::string_view why, std::string_view usage);
// Prints text (a usage, a version) on standard output and exits 0, or 1
// with a message when it cannot be written.
[[noreturn]] void answer_exit(std::string_view text);
// Answers -h and --help with help, and --version with the program's name
// and version, as answer_exit does; returns for any other argument.
void answer_if_asked(std::string_view arg, std::string_view help);
// The text of errno value err, as strerror gives it.
std::string error_text(int err);

// Names made safe for a terminal (shown_name.cpp).

// The length of the UTF-8 character at s[i], or 0 when the bytes there are
// not one (overlong forms and surrogates included).
std::size_t utf8_length(std::string_view s, std::size_t i);
// s with every byte that a terminal could act on written as \xHH: C0
// controls, DEL, the C1 controls (U+0080 to U+009F) and every byte that is
// not part of valid UTF-8. Every message that shows a name or a piece of
// input passes it through here.
std::string shown_name(std::string_view s);
// A raw path as messages show it: escaped as in the table (a tab as \t, a
// newline as \n), then made safe by shown_name.
std::string shown_path(std::string_view raw);
// At most 40 bytes of s, in double quotes, made safe by shown_name.
std::string quote(std::string_view s);

// Descriptor I/O (fd_io.cpp): every loop rides over a signal, a short count
// and a descriptor that another process sharing it made non-blocking (it
// waits rather than fails).

// Reads up to size bytes as read(2) does; 0 at the end, -1 with errno set.
ssize_t read_some(int fd, char *buf, std::size_t size);
// Reads until size bytes are in or the input ends; returns the count, or
// -1 with errno set.
ssize_t read_full(int fd, char *buf, std::size_t size);
// Reads up to n bytes from offset `at` (fewer at the end of the file) into
// out; false with errno set on a read error.
bool pread_full(int fd, std::uint64_t at, std::uint64_t n, std::string *out);
// Appends fd's bytes to text until its end or until text holds more than
// cap bytes; returns 0 or the errno of the failure.
int read_to_end(int fd, std::string *text, std::size_t cap);
// Writes all of data; returns 0 or the errno of the failure.
int write_all(int fd, std::string_view data);

// Children (child.cpp).

// Creates a pipe whose both ends close on exec; false with errno set.
bool make_pipe(int fds[2]);
// Closes *fd if it is open and marks it closed.
void close_fd(int *fd);

// A process to start: its arguments, the descriptors it gets as its
// standard input, output and error (-1: /dev/null), and the variables of
// our environment that it does not get.
struct child_spec {
  std::vector<std::string> argv;
  int in = -1;
  int out = -1;
  int err = -1;
  std::vector<std::string> unset;
};
// Starts spec with posix_spawnp (no shell), with the default signal
// actions and an empty signal mask; returns its pid, or -1 with errno set
// when it or any step of its set-up fails.
pid_t spawn_child(const child_spec &spec);
// Waits for pid, retrying EINTR; returns its wait status, or -1.
int wait_child(pid_t pid);
// How a wait status ended: "exited with status N" or "was killed by
// signal N".
std::string status_text(int status);
// Whether name is an executable file in a folder of PATH.
bool on_path(const char *name);
// What a child run by run_child printed.
struct child_output {
  std::string out;
  std::string err;
};
// Runs spec (its own in, out and err are not used) with `input` on its
// standard input, gathering its standard output whole and the first
// err_cap bytes of its standard error, so that no side blocks another;
// returns its wait status, or -1 with errno set when it could not start.
int run_child(const child_spec &spec, std::string_view input, child_output *got,
              std::size_t err_cap);

// Signals and the standard descriptors (signals.cpp).

// Sends SIGINT, SIGTERM and SIGHUP to handler and ignores SIGPIPE and
// SIGXFSZ, so that a stop is handled in order and a gone reader or a file
// size limit is a failed write with a message.
void catch_stop_signals(void (*handler)(int));
// Blocks (hold) or unblocks SIGINT, SIGTERM and SIGHUP.
void hold_stop_signals(bool hold);
// "SIGINT", "SIGTERM", "SIGHUP", or "signal N".
std::string signal_name(int sig);
// Whether descriptor 0 was open for reading and 1 for writing.
struct std_fds {
  bool in_open = false;
  bool out_open = false;
};
// Notes what 0 and 1 were, then opens /dev/null on each of 0 to 2 that is
// closed, so that no file or pipe opened later takes a standard number;
// false when /dev/null cannot be opened.
bool guard_std_fds(std_fds *was);

// Replacing a file whole (replace_file.cpp).

// A file being replaced: the target, and the temporary file beside it.
struct replacement {
  std::string target;
  std::string temp;
  int fd = -1;
};
// Creates the temporary file in target's folder, under a short name that
// fits in any folder, with the mode (and, for root, the owner) of an
// existing target, or else the mode a new file gets; returns "" or why not.
std::string start_replace(replacement *r, const std::string &target);
// Closes the temporary file and renames it over the target; returns "" or
// why not (the temporary file then removed, the target as it was).
std::string finish_replace(replacement *r);
// Removes the temporary file, leaving the target as it was.
void drop_replace(replacement *r);

// Temporary files (temp_file.cpp).

// The folder for temporary files: TMPDIR, or /tmp.
std::string temp_dir();
// A new file in dir, already unlinked, open for reading and writing;
// returns its descriptor, or -1 with errno set.
int unlinked_temp(const std::string &dir);

// The table format (table_format.cpp).

// The curves of one file, in the order bandsway prints them.
constexpr int curve_count = 3;
constexpr const char *curve_names[curve_count] = {"sum", "tilt", "alt"};
// A row: the path, the chunk count, then the values.
constexpr int row_values = curve_count * curve_points;
constexpr int row_fields = row_values + 2;
// bandsway's values stay far below this; a bound well under the largest
// double keeps arithmetic on them sound.
constexpr double max_abs_value = 1e100;

// The header line of a table, without its newline.
const std::string &table_header();
// Whether a line is a table's header line, or the start of one that was
// cut (tables joined with cat have one at the top of each part), after a
// UTF-8 byte order mark or not.
bool is_header(std::string_view line);
// A line of a table without what a spreadsheet may add: a UTF-8 byte
// order mark before the first line (first set) and a carriage return at
// the end of each.
std::string_view plain_line(std::string_view line, bool first);
// Writes a path as the table does: a backslash, tab or newline in it as
// \\, \t or \n, so that a row stays one line of tab-separated fields.
std::string escape_path(std::string_view raw);
// Undoes escape_path; any other backslash pair is kept as it stands.
std::string unescape_path(std::string_view escaped);
// Whether s is a number in the plain decimal form that bandsway and
// spline print: a sign, digits, a fraction and an exponent, each but the
// digits optional; no blanks, "inf", "nan" or hex.
bool is_plain_number(std::string_view s);
// Parses s as a plain number, finite and within max_abs_value; returns ""
// or why not, after `where`. The byte after s must be one that cannot
// continue a number (a tab, newline, blank or NUL).
std::string parse_value(std::string_view s, std::string_view where, double *v);
// Parses a chunk count: digits only, from min_curve_chunks to max_chunks.
bool parse_chunks(std::string_view s, int *chunks);
// The highest rate of a row's curves from `chunks` chunks, in Hz:
// 4 (floor(n/2) - 1) / n.
double rate_span(int chunks);
// A row of a table as parsed: its path (escaped, as in the table), chunk
// count and values.
struct parsed_row {
  std::string_view path;
  int chunks = 0;
  double values[row_values] = {};
};
// Checks one line of a table (line number nr, without its newline), which
// a tab, newline or NUL must follow, and fills row; returns "" or the
// message naming the line and what is wrong with it.
std::string parse_row(std::string_view line, long nr, parsed_row *row);

// Reading a table (table_lines.cpp).

// A line of a table longer than this is damaged: a whole row is under
// 20 KB.
constexpr std::size_t max_table_line = 1 << 20;
// Damaged rows named one by one before the rest are only counted.
constexpr long max_named_damage = 100;
// What read_lines hands each line to: the line, without its newline, a
// byte order mark or a carriage return, and its number; returns "" to go
// on, or the message that ends the reading.
using line_taker = std::function<std::string(std::string_view, long)>;
// Streams fd (named `name` in messages) line by line to take, naming an
// overlong line as damage and counting it in *damaged; returns "" or the
// message that ended the reading (a read error, or take's).
std::string read_lines(int fd, const std::string &name, const line_taker &take,
                       long *damaged);
// Counts one more damaged row in *damaged and, among the first
// max_named_damage, says "WHY; skipped".
void name_damage(long *damaged, const std::string &why);
// Says how many damaged rows there were when not all were named.
void sum_damage(long damaged);

// The rate grid (rate_grid.cpp): the rates that rows of any length are
// compared at.

// The grid runs from 0 to grid_hz, the highest rate a curve can reach.
constexpr double grid_hz = 2.0;
// Resamples one curve of curve_points values, which lie evenly from 0 to
// xmax Hz, onto `columns` columns of the grid: at each column's centre the
// curve between its two nearest points, or the highest point within the
// column if higher (so that a narrow peak keeps its height); NaN for the
// columns past xmax.
void resample_curve(const double *v, double xmax, int columns, double *out);

// ---------------------------------------------------------------------
// Added with bandsway-near (issue 21): checksums, file stamps, a file's
// bytes at once, and tables read in blocks by several threads.
// ---------------------------------------------------------------------

// Checksums (checksum.cpp): a 64-bit checksum at the speed of memory that
// tells a file cut short, zeroed or damaged from the one written (not a
// guard against a deliberate forgery). Fed in pieces of any size, it gives
// what one call over all the bytes gives, on the machine that wrote them.

// The state of a checksum being taken.
struct checksum_state {
  std::uint64_t lane[8] = {};
  std::uint64_t length = 0;
  unsigned char hold[32] = {};
  std::size_t held = 0;
};
// Starts a checksum; another seed gives another checksum of the same bytes.
void checksum_start(checksum_state *s, std::uint64_t seed);
// Adds the next size bytes of the input.
void checksum_add(checksum_state *s, const void *data, std::size_t size);
// The checksum of all the bytes added.
std::uint64_t checksum_end(const checksum_state *s);
// The checksum of size bytes at data, in one call.
std::uint64_t checksum_of(const void *data, std::size_t size,
                          std::uint64_t seed);

// File stamps (file_stamp.cpp): what tells a file from what it was.

// A file's size, modification and change times (to the nanosecond), inode
// and device.
struct file_stamp {
  std::uint64_t size = 0;
  std::int64_t mtime_sec = 0;
  std::int64_t mtime_nsec = 0;
  std::uint64_t inode = 0;
  std::uint64_t device = 0;
  std::int64_t ctime_sec = 0;
  std::int64_t ctime_nsec = 0;
};
// Fills out with the stamp of the file open on fd; false with errno set.
bool stamp_of(int fd, file_stamp *out);
// Whether two stamps are the same in every field.
bool same_stamp(const file_stamp &a, const file_stamp &b);
// Whether the last part of path is no longer than its folder's NAME_MAX
// (the system's when the folder does not say).
bool name_fits(const std::string &path);

// A file's bytes at once (file_bytes.cpp).

// A file's bytes, mapped or, where mapping fails, read into copy.
struct file_bytes {
  const char *data = nullptr;
  std::size_t size = 0;
  void *mapped = nullptr;
  std::string copy;
};
// Makes the first size bytes of the file open on fd readable at out->data
// (mapped read-only, else read); returns "" or why not.
std::string load_file(int fd, std::size_t size, file_bytes *out);
// Unmaps or frees what load_file made readable.
void release_file(file_bytes *b);

// Tables in blocks (line_blocks.cpp): whole lines a block at a time, each
// with its number and its offset in the input, so that threads can parse
// blocks at once and a row can be read again by its offset.

// A block of whole lines (the last one's newline missing at the end of an
// input that lacks it), the offset of its first byte and the number of its
// first line; or, with overlong set, one line longer than max_table_line,
// of which only the number and offset are kept.
struct line_block {
  std::string text;
  std::uint64_t offset = 0;
  long first_nr = 0;
  bool overlong = false;
};
// Where a reading by blocks is.
struct block_reader {
  int fd = -1;
  std::size_t block_bytes = 0;
  std::string pending;
  std::uint64_t offset = 0;
  long nr = 0;
  bool at_end = false;
  bool skipping = false;
};
// Starts reading fd in blocks of about block_bytes (at most
// max_table_line).
void start_blocks(block_reader *r, int fd, std::size_t block_bytes);
// Reads the next block into b (*got false at the end of the input);
// returns "" or the read error, naming the input `name`.
std::string next_block(block_reader *r, const std::string &name, line_block *b,
                       bool *got);
// What for_each_line hands each line to: the line without its newline, a
// byte order mark or a carriage return (as plain_line gives it), its
// number, the offset of its first byte and its size in the input (without
// the newline).
using block_line_taker =
    std::function<void(std::string_view, long, std::uint64_t, std::size_t)>;
// Hands each line of a block (not an overlong one) to take, in order.
void for_each_line(const line_block &b, const block_line_taker &take);
// The blocks in flight at once with `threads` workers: each has a slot,
// which its results can be kept by until it is taken.
constexpr std::size_t block_slots(int threads) {
  return threads <= 0 ? 1 : 2 * static_cast<std::size_t>(threads);
}
// Work on one block in its slot, run on a worker thread.
using block_work = std::function<void(const line_block &, std::size_t)>;
// What takes a worked block, on the calling thread, in input order;
// returns "" to go on, or the message that ends the reading.
using block_work_taker =
    std::function<std::string(const line_block &, std::size_t)>;
// Reads r block by block, runs work on each in `threads` threads (on this
// one when threads is 0), and hands each worked block to take in input
// order; returns "" or the message that ended the reading.
std::string run_blocks(block_reader *r, const std::string &name, int threads,
                       const block_work &work, const block_work_taker &take);

#endif
