// The one header of bandsway-plot: its sizes and limits, and every function
// of the program, each in the source file of its concern. What it shares
// with the other companions (the table format, the rate grid, children and
// I/O) is in the companions' library.
#ifndef BANDSWAY_PLOT_HPP
#define BANDSWAY_PLOT_HPP

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "companion.hpp"

// The most input taken for one file's curves: a table row with its header
// line is some 25 KB, the curves less than half that. One byte more is read
// to tell an input that is longer.
constexpr std::size_t max_curves_bytes = 65536;

// The collection's grid: 256 columns from 0 to grid_hz, and the first
// value of a curve that counts for its peak (the lowest two carry the
// recording's overall level rather than its fluctuation).
constexpr int grid_columns = 256;
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

// The picture formats, chosen by the extension of -o FILE.
enum class picture_format : std::uint8_t { png, svg, pdf };

// One file's curves as read: the values, the rate of the last one and, from
// a table row, the title.
struct curves {
  std::vector<double> values;
  double xmax = 0;
  bool from_row = false;
  std::string title;
};

// Names in pictures (display_name.cpp).

// The last part of a table path for a picture: table escapes \t and \n as
// spaces, \\ as in the table, control bytes and bytes that are not UTF-8 as
// "?", cut to max_chars characters with "..." at the end.
std::string display_name(std::string_view path, std::size_t max_chars);

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
// Resamples each curve of a row, drawn from 0 to xmax Hz, onto the grid,
// scaled to the curve's peak and clamped to [0, 1]; NaN past xmax.
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
// What the collection script needs to know besides the matrix.
struct collection_info {
  std::string table_name;
  long rows = 0;
  int height = 0;
  std::vector<std::string> names;
};
// The script that draws the collection's heatmap from the matrix (panel by
// panel, as finish_average gives it), which goes inline, in binary.
std::string collection_script(const collection_info &info,
                              const std::vector<float> &matrix,
                              picture_format format);

// The two kinds of picture from input to picture (draw.cpp).

// Draws the curves read from fd; returns "" or the error.
std::string draw_curves(int fd, picture_format format, std::string *picture);
// Draws the collection in the table at `table` ("-": standard input);
// returns "" or the error that stopped it, and counts the damaged rows.
std::string draw_collection(const std::string &table, picture_format format,
                            std::string *picture, long *damaged);

// Running gnuplot (gnuplot.cpp).

// Whether picture is whole: it starts and ends as every picture of its
// format does (a PNG's chunks from IHDR to IEND, an SVG's <svg ... </svg>,
// a PDF's %PDF- and its trailer to %%EOF).
bool picture_whole(picture_format format, std::string_view picture);
// Runs gnuplot on script, without a shell, and collects what it writes on
// its standard output into picture; returns "" or the error: gnuplot
// failed or wrote no whole picture. Its warnings are passed on.
std::string run_gnuplot(const std::string &script, picture_format format,
                        std::string *picture);

// Output (output.cpp).

// Refuses -o FILE naming a link, folder or anything but a regular file.
std::string check_out(const std::string &out);
// Picks the format from FILE's extension; returns "" or the refusal.
std::string format_of(const std::string &out, picture_format *format);
// Whether a file can be made in FILE's folder, checked before the work,
// not after it; returns "" or why not.
std::string probe_out(const std::string &out);
// Writes the picture to a temporary file beside FILE and renames it over
// FILE; returns "" or the error (FILE then as it was).
std::string write_out(const std::string &out, const std::string &picture);

#endif
