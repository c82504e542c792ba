// bandsway-batch's own logic on crafted bytes: path escaping, reading and
// repairing a table, and which files still need a row.
#include <algorithm>
#include <cstdio>
#include <memory>

#include <gtest/gtest.h>

#include "batch.hpp"

namespace {

// A whole row for path: chunks 9 and the values 0 to 767.
std::string row(const std::string &path) {
  std::string r = path + "\t9";
  for (int i = 0; i < row_values; i++)
    r += "\t" + std::to_string(i);
  return r + "\n";
}

table_scan scan_of(std::string bytes) {
  std::unique_ptr<FILE, int (*)(FILE *)> f(
      fmemopen(bytes.data(), bytes.size(), "r"), std::fclose);
  if (bytes.empty()) // fmemopen takes no empty buffer everywhere
    f.reset(std::tmpfile());
  return read_table(f.get());
}

} // namespace

TEST(ReadTable, AcceptsOnlyItsOwnTablesAndFindsTheWholeRows) {
  const std::string h = table_header() + "\n";
  const std::string a = row("a.wav");
  const std::string b = row("b\\tc.wav");
  const struct {
    const char *name;
    std::string bytes;
    bool header_ok;
    std::size_t rows, damaged;
    std::size_t whole_end;
  } cases[] = {
      {"empty file", "", true, 0, 0, 0},
      {"header alone", h, true, 0, 0, h.size()},
      {"two rows", h + a + b, true, 2, 0, (h + a + b).size()},
      {"partial last line", h + a + b.substr(0, 100), true, 1, 0,
       (h + a).size()},
      {"row cut in the middle, then more", h + a.substr(0, 50) + "\n" + b, true,
       1, 1, (h + a.substr(0, 50) + "\n" + b).size()},
      {"a block of zeros", h + a + std::string(300, '\0') + "\n", true, 1, 1,
       (h + a).size() + 301},
      {"zeros over rows up to a whole one", h + a + std::string(300, '\0') + b,
       true, 1, 1, (h + a + b).size() + 300},
      {"row with no path", h + row(""), true, 0, 1, (h + row("")).size()},
      {"other text, last line without newline", "my notes\nmore", false, 0, 0,
       0},
      {"one line without newline", "hello", false, 0, 0, 0},
      {"header without its newline", table_header(), false, 0, 0, 0},
      {"binary", std::string("fLaC\0\0\0\"", 8), false, 0, 0, 0},
  };
  for (const auto &c : cases) {
    const table_scan s = scan_of(c.bytes);
    EXPECT_EQ(s.header_ok, c.header_ok) << c.name;
    EXPECT_EQ(s.rows.size(), c.rows) << c.name;
    EXPECT_EQ(s.damaged, c.damaged) << c.name;
    if (c.header_ok) {
      EXPECT_EQ(static_cast<std::size_t>(s.whole_end), c.whole_end) << c.name;
    }
  }
  const table_scan s = scan_of(h + a + b);
  ASSERT_EQ(s.rows.size(), 2U);
  EXPECT_EQ(s.rows[1].path, "b\\tc.wav");
  EXPECT_EQ(static_cast<std::size_t>(s.rows[1].at), (h + a).size());
  EXPECT_EQ(s.rows[1].length, b.size());
}

TEST(DropDone, LeavesTheFilesWithoutARowInOrder) {
  const std::vector<std::string> all = {"a", "b", "b\\tx", "c", "d"};
  const std::vector<table_row> done = {
      {"d", 0, 0}, {"b", 0, 0}, {"gone since", 0, 0}, {"b", 0, 0}};
  EXPECT_EQ(drop_done(all, done),
            (std::vector<std::string>{"a", "b\\tx", "c"}));
  EXPECT_EQ(drop_done(all, {}), all);
  EXPECT_TRUE(rows_sorted({{"a", 0, 0}, {"a", 0, 0}, {"b", 0, 0}}));
  EXPECT_FALSE(rows_sorted(done));
}

// The jobs' output as the driver takes it: only whole, framed rows of files
// of the run, from jobs that have shown this protocol.
TEST(TakeLine, OnlyWholeRowsOfStartedJobs) {
  std::unique_ptr<FILE, int (*)(FILE *)> f(std::tmpfile(), std::fclose);
  table_file t;
  t.fd = fileno(f.get());
  const auto framed = [](const std::string &row_line) {
    return "\tbsw row " + std::to_string(row_line.size() - 1) + "\t" + row_line;
  };
  const std::string start = "\tbsw start " + std::to_string(job_protocol);
  struct {
    const char *name;
    std::vector<std::string> lines;
    std::size_t rows, damaged;
  } const cases[] = {
      {"a started job's row", {start + " h\ta\n", framed(row("a"))}, 1, 0},
      {"a row before its job's start", {framed(row("a"))}, 0, 1},
      // parallel glued the start of a cut-off job's row to another's row.
      {"two jobs' rows run together",
       {start + " h\ta\n", start + " h\tb\n",
        "\tbsw row 15000\ta" + framed(row("b"))},
       0,
       1},
      {"a row shorter than its frame says",
       {start + " h\ta\n", "\tbsw row 9999\t" + row("a")},
       0,
       1},
      {"a row of a file not in the run",
       {start + " h\ta\n", framed(row("c"))},
       0,
       1},
      {"a row twice",
       {start + " h\ta\n", framed(row("a")), framed(row("a"))},
       1,
       1},
      {"a bare row", {start + " h\ta\n", row("a")}, 0, 1},
  };
  for (const auto &c : cases) {
    run r;
    r.todo = {"a", "b"};
    r.batch_starts = {0, 1};
    r.state.assign(2, pending);
    r.batches.assign(2, waiting);
    for (const std::string &l : c.lines)
      take_line(r, &t, l);
    EXPECT_EQ(static_cast<std::size_t>(
                  std::count(r.state.begin(), r.state.end(), has_row)),
              c.rows)
        << c.name;
    EXPECT_EQ(r.damaged, c.damaged) << c.name;
  }
}
