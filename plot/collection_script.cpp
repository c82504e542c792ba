// The gnuplot script for a collection: three heatmap panels side by side,
// one row per file (or per group of files), rate across, one colour bar.
#include <cstdio>

#include "plot.hpp"

namespace {

constexpr int collection_width = 1200;
constexpr int collection_height = 900;
// Panel edges in screen fractions. The panels' height in pixels is
// pixel_rows: (top - bottom) * collection_height.
constexpr double panel_top = 0.88;
constexpr double panel_bottom = 0.08;
constexpr double panel_right = 0.89;
constexpr double panel_gap = 0.015;

std::string fixed(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6f", v);
  return buf;
}

// Perceptually even, and readable in grey and by most colour-blind eyes.
const char *const viridis =
    "set palette defined (0 '#440154', 0.1 '#482475', 0.2 '#414487', "
    "0.3 '#355f8d', 0.4 '#2a788e', 0.5 '#21918c', 0.6 '#22a884', "
    "0.7 '#44bf70', 0.8 '#7ad151', 0.9 '#bddf26', 1 '#fde725')\n";

// A tic label is a format for the tic's value too: a % in a file name
// ("100%.flac", "%20") would be a conversion, and may fail the picture.
std::string tic_label(const std::string &name) {
  std::string label;
  for (const char c : name)
    label += c == '%' ? std::string("%%") : std::string(1, c);
  return gnuplot_string(label);
}

std::string title(const collection_info &info) {
  std::string first = info.table_name + ": " + std::to_string(info.rows) +
                      (info.rows == 1 ? " file" : " files");
  std::string second = "each row scaled to its own peak; sorted by the rate "
                       "of the highest peak of the sum";
  if (info.height < info.rows)
    second += "; neighbouring rows averaged, about " +
              std::to_string((info.rows + info.height / 2) / info.height) +
              " to a line";
  return gnuplot_string(first) + " . \"\\n\" . " + gnuplot_string(second);
}

} // namespace

std::string collection_script(const collection_info &info,
                              const std::vector<float> &matrix,
                              picture_format format) {
  const bool named = info.rows <= max_named_rows;
  const double left = named ? 0.15 : 0.08;
  const double width = (panel_right - left - 2 * panel_gap) / curve_count;
  // Rows are files 1 to rows, top down; a pixel row spans rows / height.
  const double dy = static_cast<double>(info.rows) / info.height;
  std::string s = terminal_line(format, collection_width, collection_height);
  s += "set encoding utf8\nunset key\n";
  s += viridis;
  s += "set cbrange [0:1]\nset xrange [0:" + fixed(grid_hz) + "]\n";
  s += "set yrange [" + fixed(static_cast<double>(info.rows) + 0.5) + ":0.5]\n";
  s += "set tmargin at screen " + fixed(panel_top) + "\n";
  s += "set bmargin at screen " + fixed(panel_bottom) + "\n";
  s += "set xtics 0.5\nset mxtics 5\nset xlabel 'fluctuation rate (Hz)'\n";
  if (named) {
    s += "set ytics scale 0 font ',8' (";
    for (std::size_t r = 0; r < info.names.size(); r++)
      s += (r > 0 ? ", " : "") + tic_label(info.names[r]) + " " +
           std::to_string(r + 1);
    s += ")\n";
  } else {
    s += "set ytics out nomirror\nset format y '%.0f'\n";
    s += "set ylabel 'files, in order'\n";
  }
  s += "set multiplot title " + title(info) + "\n";
  s += "unset colorbox\n";
  for (int k = 0; k < curve_count; k++) {
    const double from = left + k * (width + panel_gap);
    s += "set lmargin at screen " + fixed(from) + "\n";
    s += "set rmargin at screen " + fixed(from + width) + "\n";
    s += "set title '" + std::string(curve_names[k]) + "'\n";
    if (k == 1)
      s += named ? "unset ytics\n" : "set format y ''\nunset ylabel\n";
    if (k == curve_count - 1) {
      s += "set colorbox user origin screen " + fixed(panel_right + 0.02) +
           ", screen " + fixed(panel_bottom) + " size screen 0.015, screen " +
           fixed(panel_top - panel_bottom) + "\n";
      s += "set cblabel \"share of the row's peak\"\n";
    }
    // The panel's matrix follows its plot command, in binary: no file
    // is left for a stop to leave behind.
    s += "plot '-' binary array=(" + std::to_string(grid_columns) + "," +
         std::to_string(info.height) +
         ") format='%float32' dx=" + fixed(grid_hz / grid_columns) +
         " dy=" + fixed(dy) + " origin=(" + fixed(grid_hz / grid_columns / 2) +
         "," + fixed(0.5 + dy / 2) + ") with image notitle\n";
    const std::size_t panel =
        static_cast<std::size_t>(info.height) * grid_columns;
    s.append(reinterpret_cast<const char *>(matrix.data() + k * panel),
             panel * sizeof(float));
  }
  return s + "unset multiplot\n";
}
