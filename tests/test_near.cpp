// bandsway-near's logic: the measure, the rate grid for rows of any length,
// the index beside a table (used, rebuilt, or not writable), the queries
// on standard input, and the library pieces it brought: the checksum and
// tables read in blocks.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "helpers.hpp"
#include "near.hpp"

namespace {

// The three curves of a row of `chunks` chunks whose loudness swings at
// `pulse` Hz: a peak there over a falling floor, each curve a little
// different, all times `scale`.
std::vector<double> curves(int chunks, double pulse, double scale) {
  std::vector<double> v(row_values);
  const double xmax = rate_span(chunks);
  for (int c = 0; c < curve_count; c++)
    for (int j = 0; j < curve_points; j++) {
      const double hz = j * xmax / (curve_points - 1);
      const double peak = std::exp(-std::pow((hz - pulse) / 0.04, 2) / 2);
      v[c * curve_points + j] =
          scale * ((1 + 0.5 * c) * peak + 0.2 / (1 + 4 * hz));
    }
  return v;
}

std::vector<vector_value> vec(const std::vector<double> &values, int chunks) {
  const measure m;
  std::vector<vector_value> out(static_cast<std::size_t>(vector_size(m)));
  row_vector(values.data(), chunks, m, out.data());
  return out;
}

double distance(const std::vector<vector_value> &a,
                const std::vector<vector_value> &b) {
  return distance_of(
      dot_product(a.data(), b.data(), static_cast<int>(a.size())));
}

std::string row_line(const std::string &path, int chunks,
                     const std::vector<double> &v) {
  std::string line = path + "\t" + std::to_string(chunks);
  char num[32];
  for (const double x : v) {
    std::snprintf(num, sizeof num, "\t%.6g", x);
    line += num;
  }
  return line + "\n";
}

void put_file(const std::string &path, const std::string &text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
  ASSERT_TRUE(f.good()) << path;
}

std::string get_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// Sets a file's modification time, so that no test waits on the clock.
void set_mtime(const std::string &path, long sec, long nsec) {
  const timespec times[2] = {{sec, nsec}, {sec, nsec}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// A temporary folder that goes with the test.
struct scratch_dir {
  std::string path = make_temp_dir();
  ~scratch_dir() { std::filesystem::remove_all(path); }
};

// Asks the table for the 20 nearest rows of the rows at `paths`, as a run
// of bandsway-near -r does, which reads them again from the table.
asked ask_at(const std::string &table, const std::vector<std::string> &paths,
             int threads = 2) {
  asked a;
  std::string rows;
  const std::string why =
      ask_rows(table, table, measure(), threads, paths, {}, 20, &a, &rows);
  EXPECT_EQ(why, "") << table;
  return a;
}

const char *source_name(table_source s) {
  return s == table_source::index   ? "index"
         : s == table_source::built ? "built"
                                    : "scanned";
}

} // namespace

TEST(NearMeasure, ShapeCountsNotLoudnessNorLength) {
  const std::vector<vector_value> base = vec(curves(120, 1.0, 1), 120);
  const struct {
    const char *name;
    int chunks;
    double pulse, scale;
    double low, high; // the distance to base lies within [low, high]
  } rows[] = {
      // 16-bit values round the vectors: within 0.0001 of 0.
      {"itself", 120, 1.0, 1, 0, 1e-4},
      {"1000 times louder", 120, 1.0, 1000, 0, 1e-4},
      {"1e-6 times as loud", 120, 1.0, 1e-6, 0, 1e-4},
      {"four times longer", 480, 1.0, 1, 0, 0.03},
      {"a third as long", 40, 1.0, 3, 0, 0.06},
      {"another pulse, 1.5 Hz", 120, 1.5, 1, 0.5, 1},
      {"another pulse, 0.5 Hz, longer", 480, 0.5, 1, 0.5, 1},
      {"a near pulse, 1.1 Hz", 120, 1.1, 1, 0.2, 1},
  };
  for (const auto &r : rows) {
    const double d =
        distance(base, vec(curves(r.chunks, r.pulse, r.scale), r.chunks));
    EXPECT_GE(d, r.low) << r.name;
    EXPECT_LE(d, r.high) << r.name;
  }
}

TEST(NearMeasure, DipsLeaveNoNegativeValueAndAFlatCurveIsUnlikeAny) {
  // The spline's overshoot, far wider and deeper than it ever is: the
  // sum below 0 from 0.6 to 0.9 Hz.
  std::vector<double> v = curves(120, 1.0, 1);
  for (int j = 0; j < curve_points; j++) {
    const double hz = j * rate_span(120) / (curve_points - 1);
    if (hz > 0.6 && hz < 0.9)
      v[j] = -5;
  }
  const std::vector<vector_value> dipped = vec(v, 120);
  // A value below 0 would have wrapped far above vector_one.
  for (const vector_value x : dipped)
    ASSERT_LE(x, vector_one);
  const double d = distance(vec(curves(120, 1.0, 1), 120), dipped);
  EXPECT_GE(d, 0);
  EXPECT_LE(d, 1);
  // A row whose curves are all 0 is at distance 1 from every row.
  const std::vector<vector_value> flat =
      vec(std::vector<double>(row_values, 0), 120);
  EXPECT_DOUBLE_EQ(distance(flat, dipped), 1);
}

TEST(NearMeasure, RowsOfDifferentLengthsMeetOnOneGrid) {
  // A flat curve shows which columns a row reaches: those whose triangle
  // (two columns of 1/32 Hz wide) covers a rate from the row's first rate
  // that bandsway did not set to 0 (8/n Hz) up to its highest rate; a
  // peak at 1.1 Hz falls in column 35 at any length.
  const struct {
    int chunks;
    int first, last;
  } rows[] = {
      {40, 5, 61},             // 10 s: 0.2 to 1.9 Hz
      {120, 1, 63},            // 30 s: 0.067 to 1.967 Hz
      {4000, 0, 63},           // 16 min 40 s: 0.002 to 1.999 Hz
      {bare_chunks[0], 1, 63}, // bandsway's lines taken as 31 s
  };
  const measure m;
  for (const auto &r : rows) {
    const std::vector<vector_value> flat =
        vec(std::vector<double>(row_values, 2.5), r.chunks);
    int first = -1;
    int last = -1;
    for (int i = 0; i < m.columns; i++)
      if (flat[i] > 0) {
        first = first < 0 ? i : first;
        last = i;
      }
    EXPECT_EQ(first, r.first) << r.chunks << " chunks";
    EXPECT_EQ(last, r.last) << r.chunks << " chunks";
    const std::vector<vector_value> peak =
        vec(curves(r.chunks, 1.1, 1), r.chunks);
    EXPECT_EQ(std::max_element(peak.begin(), peak.begin() + m.columns) -
                  peak.begin(),
              35)
        << r.chunks << " chunks";
  }
}

TEST(NearIndex, UsedWhenCurrentRebuiltWhenNot) {
  scratch_dir dir;
  const std::string table = dir.path + "/music.tsv";
  const std::string index = table + index_suffix;
  std::string rows = table_header() + "\n";
  for (int i = 0; i < 6; i++)
    rows += row_line("lib/" + std::to_string(i) + ".flac", 80 + 40 * i,
                     curves(80 + 40 * i, 0.5 + 0.25 * i, 1 + i));
  put_file(table, rows);
  set_mtime(table, 1000000000, 5);
  ASSERT_EQ(ask_at(table, {"lib/0.flac"}).source, table_source::built);

  // Each row: what is done to the table or the index, then the source the
  // next query's rows must come from, and how many rows it has.
  const struct {
    const char *name;
    std::function<void()> change;
    table_source want;
    std::uint64_t rows;
    bool by_ctime = false; // only the change time tells the table changed
  } steps[] = {
      {"nothing changed", [] {}, table_source::index, 6},
      {"the table grows",
       [&] {
         std::ofstream(table, std::ios::app)
             << row_line("lib/new.flac", 200, curves(200, 1, 1));
         set_mtime(table, 1000000000, 5);
       },
       table_source::built, 7},
      {"read again", [] {}, table_source::index, 7},
      {"a value rewritten in place, same size",
       [&] {
         std::string text = get_file(table);
         const std::size_t at = text.find("\t1\t");
         text[at + 1] = '2';
         const int fd = open(table.c_str(), O_WRONLY);
         ASSERT_EQ(pwrite(fd, text.data(), text.size(), 0),
                   static_cast<ssize_t>(text.size()));
         close(fd);
         set_mtime(table, 1000000000, 6);
       },
       table_source::built, 7},
      {"a copy renamed over it: same size and time, another inode",
       [&] {
         put_file(table + ".copy", get_file(table));
         set_mtime(table + ".copy", 1000000000, 6);
         ASSERT_EQ(rename((table + ".copy").c_str(), table.c_str()), 0);
       },
       table_source::built, 7},
      // The write changes the change time, which no tool can set back
      // (and, read since the last change, the system makes it another,
      // however soon): the stamp tells the table from what it was.
      {"a value rewritten in place, same size, the mtime put back",
       [&] {
         std::string text = get_file(table);
         text[text.find("\t2\t") + 1] = '3';
         const int fd = open(table.c_str(), O_WRONLY);
         ASSERT_EQ(pwrite(fd, text.data(), text.size(), 0),
                   static_cast<ssize_t>(text.size()));
         close(fd);
         set_mtime(table, 1000000000, 6);
       },
       table_source::built, 7, true},
      // An index of other rows (the same, in another order) that the
      // stamp cannot tell from the table's: -r finds its rows elsewhere in
      // the table and rebuilds it, so that the answers, and the next
      // query's, are the table's.
      {"an index of other rows with the table's stamp",
       [&] {
         std::string text = get_file(table);
         std::vector<std::string> lines;
         for (std::size_t at = 0; at < text.size();) {
           const std::size_t nl = text.find('\n', at) + 1;
           lines.push_back(text.substr(at, nl - at));
           at = nl;
         }
         std::reverse(lines.begin() + 1, lines.end());
         put_file(dir.path + "/other.tsv",
                  std::accumulate(lines.begin(), lines.end(), std::string()));
         near_table other;
         const int in = open((dir.path + "/other.tsv").c_str(), O_RDONLY);
         ASSERT_EQ(read_table(in, "other", measure(), 0, &other), "");
         close(in);
         const int fd = open(table.c_str(), O_RDONLY);
         file_stamp stamp;
         ASSERT_TRUE(stamp_of(fd, &stamp));
         close(fd);
         ASSERT_EQ(write_index(index, stamp, measure(), other), "");
       },
       table_source::built, 7},
      {"the index cut short",
       [&] { ASSERT_EQ(truncate(index.c_str(), 1000), 0); },
       table_source::built, 7},
      {"the index cut by one byte",
       [&] {
         struct stat st {};
         ASSERT_EQ(stat(index.c_str(), &st), 0);
         ASSERT_EQ(truncate(index.c_str(), st.st_size - 1), 0);
       },
       table_source::built, 7},
      {"a byte after the index's end",
       [&] { std::ofstream(index, std::ios::app) << '\0'; },
       table_source::built, 7},
      {"the index filled with zeros",
       [&] { put_file(index, std::string(get_file(index).size(), '\0')); },
       table_source::built, 7},
      {"a byte of a path in the index changed",
       [&] {
         std::string text = get_file(index);
         text[text.find("lib/3.flac")] = 'L';
         put_file(index, text);
       },
       table_source::built, 7},
      {"a vector in the index changed",
       [&] {
         std::string text = get_file(index);
         text[index_header_size + 100] ^= 1;
         put_file(index, text);
       },
       table_source::built, 7},
      {"another version",
       [&] {
         std::string text = get_file(index);
         text[8] = static_cast<char>(index_version + 1);
         put_file(index, text);
       },
       table_source::built, 7},
      {"as good as new", [] {}, table_source::index, 7},
  };
  std::vector<std::vector<neighbour>> first;
  const auto stamp_now = [&table] {
    file_stamp st;
    const int fd = open(table.c_str(), O_RDONLY);
    EXPECT_TRUE(stamp_of(fd, &st));
    close(fd);
    return st;
  };
  for (const auto &s : steps) {
    const file_stamp before = stamp_now();
    s.change();
    // A kernel whose clock is coarser than the step (Linux before 6.13
    // keeps the change time to a tick unless it was read) may give the
    // write the change time it had: nothing can tell the table then.
    if (s.by_ctime && same_stamp(before, stamp_now())) {
      std::printf("note: %s: the change time did not move; skipped\n", s.name);
      continue;
    }
    const asked a = ask_at(table, {"lib/0.flac", "lib/3.flac"});
    EXPECT_STREQ(source_name(a.source), source_name(s.want)) << s.name;
    EXPECT_EQ(a.note, "") << s.name;
    EXPECT_EQ(a.table->rows, s.rows) << s.name;
    // Whatever the index went through, the answers are those of the table.
    ASSERT_EQ(a.found.size(), 2U) << s.name;
    if (s.rows == 7 && first.empty())
      first = a.found;
    for (std::size_t q = 0; s.rows == 7 && q < 2; q++) {
      ASSERT_EQ(a.found[q].size(), 6U) << s.name;
      for (std::size_t k = 0; k < 6; k++)
        EXPECT_EQ(a.found[q][k].row, first[q][k].row) << s.name;
    }
  }
  // The index cut by another process once a query has opened it: what the
  // query reads of it after its checksum pass fails, rather than ending
  // the run with SIGBUS, and the search finds the index damaged.
  near_table t;
  const int fd = open(table.c_str(), O_RDONLY);
  file_stamp stamp;
  ASSERT_TRUE(stamp_of(fd, &stamp));
  close(fd);
  ASSERT_EQ(load_index(index, stamp, measure(), &t), "");
  ASSERT_EQ(truncate(index.c_str(), 0), 0);
  std::uint64_t row = 0;
  EXPECT_FALSE(find_row(t, "lib/3.flac", &row));
  EXPECT_EQ(path_of(t, 6), "");
  query q;
  q.vec.assign(static_cast<std::size_t>(vector_size(measure())), 1);
  std::vector<std::vector<neighbour>> found;
  EXPECT_FALSE(search(t, {q}, 3, &found));
}

TEST(NearIndex, TheTableAloneWhenTheIndexCannotBeWritten) {
  scratch_dir dir;
  // A name that fits NAME_MAX (255 here), but not with ".near" after it.
  const std::string long_name(251, 'n');
  const struct {
    const char *name;
    std::string table;
    bool block_index; // a folder where the index would go
    const char *note;
  } rows[] = {
      {"a folder in the index's place", dir.path + "/t.tsv", true,
       "cannot write the index"},
      {"a name with no room for the suffix", dir.path + "/" + long_name, false,
       "NAME_MAX"},
  };
  std::string text = table_header() + "\n";
  const double pulses[] = {0.5, 0.56, 1.0, 1.5, 1.56};
  for (int i = 0; i < 5; i++)
    text += row_line("r" + std::to_string(i), 120, curves(120, pulses[i], 1));
  for (const auto &r : rows) {
    put_file(r.table, text);
    if (r.block_index) {
      ASSERT_EQ(mkdir((r.table + index_suffix).c_str(), 0755), 0);
    }
    for (int run = 0; run < 2; run++) {
      const asked a = ask_at(r.table, {"r3"});
      EXPECT_STREQ(source_name(a.source), "scanned") << r.name;
      EXPECT_NE(a.note.find(r.note), std::string::npos)
          << r.name << ": " << a.note;
      ASSERT_EQ(a.table->rows, 5U) << r.name;
      ASSERT_EQ(a.found[0].size(), 4U) << r.name;
      EXPECT_EQ(path_of(*a.table, a.found[0][0].row), "r4") << r.name;
    }
  }
  // No temporary file is left beside the table.
  int left = 0;
  for (const auto &e : std::filesystem::directory_iterator(dir.path))
    left += e.path().filename().string().rfind(".bandsway.", 0) == 0;
  EXPECT_EQ(left, 0);
}

TEST(NearIndex, TheSameAnswersFromTheTableAndFromTheIndex) {
  scratch_dir dir;
  const std::string table = dir.path + "/t.tsv";
  // A damaged row, a header in the middle, CRLF lines; rows 0 and 5 share
  // their path.
  std::string text = "\xef\xbb\xbf" + table_header() + "\r\n";
  for (int i = 0; i < 12; i++) {
    std::string line =
        row_line(i == 5 ? "p0" : "p" + std::to_string(i), 60 + 30 * i,
                 curves(60 + 30 * i, 0.3 + 0.12 * i, 1));
    line.insert(line.size() - 1, "\r");
    text += line;
    if (i == 4)
      text += "p-cut\t80\t1\n" + table_header() + "\n";
  }
  put_file(table, text);
  std::vector<std::vector<std::vector<neighbour>>> answers;
  for (int threads : {0, 2}) {
    for (table_source want : {table_source::built, table_source::index}) {
      if (threads == 2 && want == table_source::built)
        std::filesystem::remove(table + index_suffix);
      const asked a = ask_at(table, {"p0", "p3", "p11"}, threads);
      const near_table &t = *a.table;
      ASSERT_STREQ(source_name(a.source), source_name(want));
      ASSERT_EQ(t.rows, 12U);
      ASSERT_EQ(t.damaged, 1U);
      EXPECT_EQ(t.damage[0].rfind("line 7: 3 tab-separated fields", 0), 0U)
          << t.damage[0];
      EXPECT_TRUE(a.missing.empty());
      answers.push_back(a.found);
      // -r reads each row again by its place: the line as it stands,
      // without its byte order mark or carriage return.
      const int fd = open(table.c_str(), O_RDONLY);
      std::string lines;
      bool changed = false;
      EXPECT_EQ(table_lines(fd, table, t, {{0, 0}, {11, 0}}, &lines, &changed),
                "");
      close(fd);
      EXPECT_EQ(lines.substr(0, 6), "p0\t60\t");
      EXPECT_EQ(lines.find('\r'), std::string::npos);
      EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 2);
    }
  }
  for (std::size_t i = 1; i < answers.size(); i++)
    for (std::size_t q = 0; q < 3; q++) {
      ASSERT_EQ(answers[i][q].size(), answers[0][q].size());
      for (std::size_t k = 0; k < answers[0][q].size(); k++) {
        EXPECT_EQ(answers[i][q][k].row, answers[0][q][k].row);
        EXPECT_EQ(answers[i][q][k].distance, answers[0][q][k].distance);
      }
    }
  // Every row but the query's own (both rows of p0 for p0), nearest
  // first; k above the rows gives them all.
  const auto &p0 = answers[0][0];
  EXPECT_EQ(p0.size(), 10U);
  for (std::size_t k = 0; k < p0.size(); k++) {
    EXPECT_NE(p0[k].row, 0U);
    EXPECT_NE(p0[k].row, 5U);
    if (k > 0) {
      EXPECT_LE(p0[k - 1].distance, p0[k].distance);
    }
  }
  EXPECT_EQ(answers[0][1].size(), 11U);
  EXPECT_EQ(answers[0][1][0].row, 2U); // p3's pulse is nearest p2's and p4's
}

TEST(NearQueries, RowsOrCurvesOnStandardInput) {
  scratch_dir dir;
  const std::vector<double> v = curves(120, 1, 1);
  std::string lines;
  std::string padded; // blanks around each number, a tab last
  for (const double x : v) {
    lines += std::to_string(x) + "\n";
    padded += " \t" + std::to_string(x) + " \t\n";
  }
  const struct {
    const char *name;
    std::string input;
    std::size_t queries;
    long failed;
    const char *fault;
  } rows[] = {
      {"a row with its header", table_header() + "\n" + row_line("a", 120, v),
       1, 0, ""},
      {"two rows, one damaged, an empty line",
       row_line("a", 120, v) + "\nb\t120\t1\n" + row_line("c", 40, v), 2, 1,
       ""},
      {"bandsway's 768 lines", lines, 1, 0, ""},
      {"the 768 lines, blanks and tabs around each", padded, 1, 0, ""},
      {"767 lines", lines.substr(0, lines.rfind('\n', lines.size() - 2) + 1), 0,
       0, "stdin: expected 768 values (three curves of 256), got 767"},
      {"769 lines", lines + "1\n", 0, 0, "stdin: more than 768 values"},
      {"an empty line among them", "1\n\n" + lines, 0, 0,
       "stdin: line 2 is empty"},
      {"a header alone", table_header() + "\n", 0, 0,
       "stdin holds a header line but no row"},
      {"nothing", "", 0, 0, "stdin holds no query"},
  };
  for (const auto &r : rows) {
    put_file(dir.path + "/in", r.input);
    const int fd = open((dir.path + "/in").c_str(), O_RDONLY);
    std::vector<query> qs;
    long failed = 0;
    const std::string why = read_queries(fd, "stdin", measure(), &qs, &failed);
    close(fd);
    EXPECT_EQ(why.rfind(r.fault, 0), 0U) << r.name << ": " << why;
    EXPECT_EQ(qs.size(), r.queries) << r.name;
    EXPECT_EQ(failed, r.failed) << r.name;
  }
  // The 768 lines are a query without a path, named "-".
  put_file(dir.path + "/in", lines);
  const int fd = open((dir.path + "/in").c_str(), O_RDONLY);
  std::vector<query> qs;
  long failed = 0;
  ASSERT_EQ(read_queries(fd, "stdin", measure(), &qs, &failed), "");
  close(fd);
  EXPECT_EQ(qs[0].name, "-");
  EXPECT_EQ(qs[0].path, "");
}

TEST(NearIndexHeader, WrittenHereReadHereOnly) {
  index_header h;
  h.columns = 64;
  h.table.size = 589000000;
  h.table.mtime_nsec = 123456789;
  h.table.ctime_nsec = 987654321;
  h.rows = 100000;
  h.paths_size = 7;
  h.body_checksum = 42;
  char bytes[index_header_size];
  encode_header(h, bytes);
  index_header back;
  ASSERT_EQ(decode_header(bytes, &back), "");
  EXPECT_TRUE(same_stamp(back.table, h.table));
  EXPECT_EQ(back.rows, h.rows);
  EXPECT_EQ(back.body_checksum, 42U);
  const struct {
    const char *name;
    std::size_t at;
    const char *why;
  } rows[] = {
      {"the magic", 0, "it is not an index of bandsway-near"},
      {"the byte-order mark", 12, "another byte order"},
      {"the version", 8, "another version"},
      {"the row count", 72, "its header is damaged"},
      {"the table's mtime", 48, "its header is damaged"},
      {"the table's ctime", 120, "its header is damaged"},
  };
  for (const auto &r : rows) {
    char copy[index_header_size];
    std::memcpy(copy, bytes, sizeof copy);
    copy[r.at] ^= r.at == 12 ? 0x05 : 0x01; // 04 03 02 01 -> 01 03 02 01
    EXPECT_NE(decode_header(copy, &back).find(r.why), std::string::npos)
        << r.name;
  }
  index_layout at;
  ASSERT_TRUE(layout_of(h, &at));
  EXPECT_EQ(at.end, index_header_size + 100000ULL * (8 + 24 + 3 * 64 * 2) + 7);
  h.rows = 1ULL << 60;
  EXPECT_FALSE(layout_of(h, &at));
}

TEST(CompanionChecksum, InPiecesAsInOneAndDamageShows) {
  std::string data(1000, '\0');
  for (std::size_t i = 0; i < data.size(); i++)
    data[i] = static_cast<char>(i * 7 + i / 13);
  const std::uint64_t whole = checksum_of(data.data(), data.size(), 1);
  for (std::size_t piece : {1, 5, 31, 32, 33, 100, 999}) {
    checksum_state s;
    checksum_start(&s, 1);
    for (std::size_t at = 0; at < data.size(); at += piece)
      checksum_add(&s, data.data() + at, std::min(piece, data.size() - at));
    EXPECT_EQ(checksum_end(&s), whole) << "pieces of " << piece;
  }
  std::string flipped = data;
  flipped[500] ^= 0x10;
  const std::string zeros(data.size(), '\0');
  const std::string longer_zeros(data.size() + 1, '\0');
  const std::uint64_t others[] = {
      checksum_of(data.data(), data.size() - 1, 1),
      checksum_of(flipped.data(), flipped.size(), 1),
      checksum_of(data.data(), data.size(), 2),
      checksum_of(zeros.data(), zeros.size(), 1),
      checksum_of(longer_zeros.data(), longer_zeros.size(), 1),
  };
  for (const std::uint64_t c : others)
    EXPECT_NE(c, whole);
  EXPECT_NE(others[3], others[4]);
}

TEST(CompanionBlocks, LinesKeepTheirNumbersAndPlacesInAnyBlocks) {
  scratch_dir dir;
  // A byte order mark, CRLF, an empty line, an overlong line, and a last
  // line without its newline.
  const std::string overlong(3 * max_table_line, 'x');
  const std::string text =
      "\xef\xbb\xbfone\r\ntwo\n\nthree\n" + overlong + "\nfour\r\nfive";
  put_file(dir.path + "/t", text);
  struct seen {
    std::string line;
    long nr;
    std::uint64_t at;
    std::size_t size;
  };
  const std::vector<seen> want = {
      {"one", 1, 0, 7},
      {"two", 2, 8, 3},
      {"", 3, 12, 0},
      {"three", 4, 13, 5},
      {"!", 5, 19, 0},
      {"four", 6, 19 + overlong.size() + 1, 5},
      {"five", 7, 19 + overlong.size() + 1 + 6, 4},
  };
  for (const std::size_t block : {std::size_t{1}, std::size_t{7},
                                  std::size_t{4096}, std::size_t{1} << 20})
    for (const int threads : {0, 1, 3}) {
      const int fd = open((dir.path + "/t").c_str(), O_RDONLY);
      block_reader r;
      start_blocks(&r, fd, block);
      std::vector<std::vector<seen>> slots(block_slots(threads));
      std::vector<seen> got;
      const std::string why = run_blocks(
          &r, "t", threads,
          [&](const line_block &b, std::size_t slot) {
            slots[slot].clear();
            if (b.overlong)
              slots[slot].push_back({"!", b.first_nr, b.offset, 0});
            for_each_line(b, [&](std::string_view line, long nr,
                                 std::uint64_t at, std::size_t size) {
              slots[slot].push_back({std::string(line), nr, at, size});
            });
          },
          [&](const line_block &, std::size_t slot) {
            got.insert(got.end(), slots[slot].begin(), slots[slot].end());
            return std::string();
          });
      close(fd);
      EXPECT_EQ(why, "");
      ASSERT_EQ(got.size(), want.size()) << block << " " << threads;
      for (std::size_t i = 0; i < want.size(); i++) {
        EXPECT_EQ(got[i].line, want[i].line) << block << " " << threads;
        EXPECT_EQ(got[i].nr, want[i].nr) << block << " " << threads;
        EXPECT_EQ(got[i].at, want[i].at)
            << block << " " << threads << " " << want[i].line;
        if (want[i].line != "!") {
          EXPECT_EQ(got[i].size, want[i].size) << block << " " << threads;
        }
      }
    }
}
