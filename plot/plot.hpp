// The one header of bandsway-plot: its sizes and limits, and every function
// of the program, each in the source file of its concern.
#ifndef BANDSWAY_PLOT_HPP
#define BANDSWAY_PLOT_HPP

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "defs.hpp"

// The three curves of one recording, in the order bandsway prints them.
constexpr int curve_count = 3;
constexpr int row_values = curve_count * curve_points;
// The curves in the order bandsway prints them, as the panels are titled.
constexpr const char *panel_names[curve_count] = {"sum", "tilt", "alt"};
// A table row: the path, the chunk count, then the values.
constexpr int row_fields = row_values + 2;

// The most input taken for one file's curves: a table row with its header
// line is some 25 KB, the curves less than half that. One byte more is read
// to tell an input that is longer.
constexpr std::size_t max_curves_bytes = 65536;
// bandsway's values stay far below 1e30; a bound well under the largest
// double keeps gnuplot's scaling sound.
constexpr double max_abs_value = 1e100;
// A table line longer than this is damaged: a whole row is under 20 KB.
constexpr std::size_t max_table_line = 1 << 20;

// The collection's rate grid: 256 columns from 0 to 2 Hz, and the first
// value of a curve that counts for its peak (the lowest two carry the
// recording's overall level rather than its fluctuation).
constexpr int grid_columns = 256;
constexpr double grid_hz = 2.0;
constexpr int peak_from = 2;
constexpr int grid_values = curve_count * grid_columns;
// The heatmap panels are this many pixels high; more rows than that are
// averaged in neighbouring groups.
constexpr int pixel_rows = 720;
// Up to this many rows are named along the side; more get a count axis.
constexpr int max_named_rows = 60;
// Lengths, in characters, of a one-file title and of a row's name.
constexpr std::size_t max_title_chars = 60;
constexpr std::size_t max_name_chars = 28;
// Damaged table rows named one by one before the rest are only counted.
constexpr long max_named_damage = 100;

// The picture formats, chosen by the extension of -o FILE.
enum class picture_format { png, svg, pdf };

// One file's curves as read: the values, the rate of the last one and, from
// a table row, the title.
struct curves {
  std::vector<double> values;
  double xmax = 0;
  bool from_row = false;
  std::string title;
};

// A good table row: its path (escaped as in the table), chunk count and
// values.
struct parsed_row {
  std::string_view path;
  int chunks = 0;
  double values[row_values] = {};
};

// Numbers and names (parse.cpp).

// Parses s as a plain decimal number (sign, digits, point, exponent), finite
// and within max_abs_value; returns "" or why not, after `where`. The byte
// after s must be one that cannot continue a number (a tab, newline, blank
// or NUL), as in a line of a table or of the curves.
std::string parse_value(std::string_view s, std::string_view where, double *v);
// Parses a chunk count: digits only, from min_curve_chunks to max_chunks.
bool parse_chunks(std::string_view s, int *chunks);
// The highest rate of a curve from `chunks` chunks: 4 (floor(n/2) - 1) / n.
double rate_span(int chunks);
// At most 40 bytes of s, in double quotes, with all but printable ASCII
// (and the backslash) as \ooo, so that no input can write to a terminal.
std::string quote(std::string_view s);
// The last part of a table path for display: table escapes \t and \n as
// spaces, \\ as in the table, control bytes and bytes that are not UTF-8 as
// "?", cut to max_chars characters with "..." at the end.
std::string display_name(std::string_view path, std::size_t max_chars);
// Checks one table line (line number `line`), which a tab, newline or NUL
// must follow, and fills row; returns "" or the message naming the line
// and what is wrong.
std::string parse_row(std::string_view text, long line, parsed_row *row);

// One file's curves (read_curves.cpp).

// Reads fd to its end or one byte past max_curves_bytes into text; returns
// "" or the error.
std::string read_input(int fd, std::string *text);
// Reads 768 lines or one table row, with or without its header line, from
// text; returns "" or the message for the first fault found.
std::string parse_curves(std::string_view text, curves *out);

// The collection's rows (resample.cpp).

// The rate of the highest value of a row's sum curve from peak_from up.
float peak_rate(const double *values, double xmax);
// Resamples each curve of a row, drawn from 0 to xmax Hz, onto the grid
// (column centres), scaled to the curve's peak and clamped to [0, 1]; NaN
// past xmax.
void resample_row(const double *values, double xmax, float *grid);
// Packs grid values in [0, 1] or NaN into 16 bits each, and back.
void pack_row(const float *grid, std::uint16_t *packed);
void unpack_row(const std::uint16_t *packed, float *grid);

// Sorting and averaging (collection.cpp).

// For each row in input order its rank: by key, rows of equal key in input
// order.
std::vector<std::uint32_t> rank_rows(const std::vector<float> &keys);
// The pixel rows of the picture: the rows, or pixel_rows when more.
int picture_rows(long rows);
// The pixel row that the row of this rank is averaged into.
int pixel_row_of(long rank, long rows);
// Sums and counts of grid values per pixel row, NaN left out.
struct row_average {
  int height = 0;
  std::vector<double> sum;
  std::vector<std::uint32_t> count;
};
// Sets up an average of `height` pixel rows.
void start_average(row_average *avg, int height);
// Adds one row's grid values to pixel row p.
void add_to_average(row_average *avg, int p, const float *grid);
// The averaged matrix, panel by panel (sum, then tilt, then alt), each
// height x grid_columns floats, NaN where no row had a value.
std::vector<float> finish_average(const row_average &avg);

// Reading a table (read_table.cpp).

// What the first pass over a table keeps: a key per good row, the names of
// the first rows, and the damage.
struct table_pass {
  std::vector<float> keys;
  std::vector<std::string> names;
  long damaged = 0;
};
// Streams the table `name` from fd: names damaged rows on stderr, appends
// each good row's packed grid to the file on out_fd; returns "" or the error
// that ends the run.
std::string read_table(int fd, const std::string &name, int out_fd,
                       const std::string &tmp_dir, table_pass *pass);
// Reads the packed rows back from fd in input order and averages them by
// rank; returns "" or the error.
std::string average_rows(int fd, const std::vector<std::uint32_t> &ranks,
                         row_average *avg, const std::string &tmp_dir);

// gnuplot scripts (curves_script.cpp, collection_script.cpp).

// A gnuplot string literal for s (single quotes, none of its characters
// special).
std::string gnuplot_string(std::string_view s);
// The terminal line for a picture of w x h pixels in this format.
std::string terminal_line(picture_format format, int w, int h);
// The script that draws one file's three curves, data inline.
std::string curves_script(const curves &c, picture_format format);
// What the collection script needs to know besides the matrix file.
struct collection_info {
  std::string table_name;
  long rows = 0;
  int height = 0;
  std::vector<std::string> names;
};
// The script that draws the collection's heatmap from the matrix file.
std::string collection_script(const collection_info &info,
                              const std::string &matrix_path,
                              picture_format format);

// The two kinds of picture from input to picture (draw.cpp).

// Draws the curves read from fd; returns "" or the error.
std::string draw_curves(int fd, picture_format format, std::string *picture);
// Draws the collection in the table at `table` ("-": standard input);
// returns "" or the error that stopped it, and counts the damaged rows.
std::string draw_collection(const std::string &table, picture_format format,
                            std::string *picture, long *damaged);

// Running gnuplot (gnuplot.cpp).

// Runs gnuplot on script, without a shell, and collects what it writes on
// its standard output into picture; returns "" or the error.
std::string run_gnuplot(const std::string &script, std::string *picture);

// Output (output.cpp).

// Refuses -o FILE naming a link, folder or anything but a regular file.
std::string check_out(const std::string &out);
// Picks the format from FILE's extension; returns "" or the refusal.
std::string format_of(const std::string &out, picture_format *format);
// A temporary file beside FILE, with the mode (and, for root, the owner) of
// an earlier FILE.
struct out_file {
  std::string path;
  std::string part;
  int fd = -1;
  int slot = -1;
};
// Creates the temporary file for out.path; returns "" or the error.
std::string open_out(out_file *out);
// Writes the picture to the temporary file and renames it over FILE;
// returns "" or the error (the temporary file then removed).
std::string finish_out(out_file *out, const std::string &picture);
// Removes the temporary file of a run that failed, leaving FILE as it was.
void drop_out(out_file *out);

// Reads and writes (io.cpp).

// Reads up to size bytes from fd as read(2) does, but retries when
// interrupted and waits on a non-blocking fd instead of failing.
ssize_t read_some(int fd, char *buf, std::size_t size);
// Writes all of data to fd, waiting on a non-blocking fd; returns 0 or the
// errno of the failure.
int write_all(int fd, const char *data, std::size_t size);

// Signals and clean-up (cleanup.cpp).

// Makes TERM, INT and HUP remove what note_path names, kill the child that
// note_child names, and end the run with a message; ignores SIGPIPE and
// SIGXFSZ.
void watch_signals();
// Holds or lets through those signals (around creating a child or file).
void hold_signals(bool hold);
// Names the child to kill on a signal (0 for none).
void note_child(pid_t pid);
// Forgets slot's path.
void forget_path(int slot);
// Creates a file from the mkstemp template in *path (which then holds its
// name) and notes it for removal on a signal in *slot; returns its
// descriptor, or -1 with errno set.
int make_temp(std::string *path, int *slot);
// The folder for temporary files: TMPDIR, or /tmp.
std::string temp_dir();

#endif
