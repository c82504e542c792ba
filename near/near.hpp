// The one header of bandsway-near: the measure that compares two rows, the
// index kept beside a table, the queries and the answers; one concern per
// source file.
#ifndef BANDSWAY_NEAR_HPP
#define BANDSWAY_NEAR_HPP

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "companion.hpp"

// The measure (measure.cpp).

// How rows are compared: the columns of the rate grid per curve, the
// weight of each curve (they add up to 1), a rate below which no row is
// compared (0: each row only leaves out the rates bandsway set to 0), and
// whether the columns gather the curve's points under triangles (or take
// the curve as resample_curve gives it, at `columns`). The evaluation
// tries others; the program uses these.
struct measure {
  int columns = 64;
  double weights[curve_count] = {0.8, 0.1, 0.1};
  double floor_hz = 0;
  bool pooled = true;
};
// The most columns a measure may have: one per point of a curve.
constexpr int max_columns = curve_points;
// bandsway's 768 lines carry no chunk count, and a row's axis stretches
// with it (its highest rate is 2 - 4/n Hz): they are taken as a row of
// each of these lengths, whose highest rates lie 0.36% apart, from 31 s to
// 4.6 min, and each row is compared with the one that fits it best. One
// length, 512 chunks, put a 30 s file's peaks 1.3% off its own row's, and
// other rows nearer to it than its own.
constexpr int bare_chunks[] = {124, 158, 222, 370, 1112};
// A vector's values, each from 0 to 1, kept as 16-bit fixed point (x times
// vector_one): that loses nothing on the evaluation, halves what a query
// reads, and makes the dot product of two vectors exact, the same on every
// run in any order.
using vector_value = std::uint16_t;
constexpr int vector_one = 32767;
// The values of a row's vector under m: its curves one after another.
int vector_size(const measure &m);
// The lowest rate of a row of `chunks` chunks that bandsway did not set to
// 0: bin 2 of its series transform, 8 / chunks Hz.
double first_rate(int chunks);
// Fills out (vector_size(m) values) with the row's vector: each curve's
// points gathered into m.columns columns (or, unpooled, resampled onto
// them), leaving out those below its first rate (and below m.floor_hz) and
// those below 0, then scaled to a length of the square root of its weight,
// so that neither the file's length nor its loudness counts. A curve that
// is 0 over the grid stays 0.
void row_vector(const double *values, int chunks, const measure &m,
                vector_value *out);
// The dot product of two vectors of `size` values (a multiple of 8), in
// units of vector_one squared: at most about vector_one squared for two
// vectors of this program (it wraps, harmlessly, only for a damaged index,
// whose answers are dropped).
std::uint32_t dot_product(const vector_value *a, const vector_value *b,
                          int size);
// The distance of two rows whose vectors have this dot product: 1 minus
// it, held within [0, 1]. It is the weighted mean, over the curves, of one
// minus the cosine of the two curves.
double distance_of(std::uint32_t dot);
// The measure as one number, kept in the index: an index built under
// another measure is not used.
std::uint64_t measure_code(const measure &m);

// The rows of a table, as the index holds them (near_table.cpp).

// Where a row is in the table, and its path among the paths.
struct row_place {
  std::uint64_t offset = 0;
  std::uint32_t size = 0;
  std::uint32_t path_size = 0;
  std::uint64_t path_at = 0;
};
// A run of rows' vectors that lie one after another in memory.
struct vector_span {
  const vector_value *data = nullptr;
  std::uint64_t first = 0;
  std::uint64_t rows = 0;
};
// The good rows of a table: their vectors, the checksums of their paths
// (to find and leave out a query's own row quickly), their places, their
// paths (escaped, as in the table, one after another), and the damaged
// rows: the first max_named_damage messages (each "line N: WHY") and the
// count of all. Rows read from the table are held in memory. Of the index,
// the path checksums are read into memory, the few places and paths that
// a query needs are read when needed, and the vectors are read by the
// search as it goes, checking the index's checksum on the way; nothing is
// mapped, since a mapping touched after another process cut the file
// would end the run with SIGBUS.
struct near_table {
  near_table() = default;
  near_table(const near_table &) = delete;
  near_table &operator=(const near_table &) = delete;
  ~near_table() { close_fd(&index_fd); }
  int columns = 0;
  std::uint64_t rows = 0;
  std::vector<vector_span> spans;
  const std::uint64_t *hashes = nullptr;
  const char *places = nullptr;
  const char *paths = nullptr;
  std::uint64_t paths_size = 0;
  std::vector<std::string> damage;
  std::uint64_t damaged = 0;
  // The rows as read from the table...
  std::vector<std::unique_ptr<vector_value[]>> blocks;
  std::vector<std::uint64_t> hash_store;
  std::vector<row_place> place_store;
  std::string path_store;
  // ...or the index (places and paths then null): where its places, paths
  // and vectors start, open there, its checksum taken up to the vectors,
  // and the checksum its header gives.
  std::uint64_t places_at = 0;
  std::uint64_t paths_at = 0;
  int index_fd = -1;
  std::uint64_t vectors_at = 0;
  checksum_state sum;
  std::uint64_t body_checksum = 0;
};
// The checksum of an escaped path, as the hashes hold it.
std::uint64_t path_hash(std::string_view path);
// Row i's place.
row_place place_of(const near_table &t, std::uint64_t i);
// Row i's path, escaped as in the table ("" when the index cannot be read
// there).
std::string path_of(const near_table &t, std::uint64_t i);
// Copies row i's vector (curve_count * t.columns values) into out; false
// when the index cannot be read there (the search then finds it damaged).
bool copy_vector(const near_table &t, std::uint64_t i,
                 std::vector<vector_value> *out);
// The first row whose path is `path` (escaped); false when there is none.
bool find_row(const near_table &t, std::string_view path, std::uint64_t *row);
// Points t's views at the rows held in its own stores.
void view_stores(near_table *t);
// Names t's damaged rows, after `name`, as the companions name them;
// returns their count.
long name_table_damage(const near_table &t, const std::string &name);

// Reading a table (read_table.cpp).

// Rows of vectors per block of memory while a table is read.
constexpr std::size_t rows_per_block = 4096;
// The bytes of a table that one worker parses at a time.
constexpr std::size_t table_block_bytes = 1 << 20;
// Reads the table on fd (named `name` in messages) into t under m, parsing
// in `threads` threads besides this one (none: 0); damaged rows are kept
// in t, not named. Returns "" or the error that ended the reading (a first
// line that is neither a header nor a row: not a table).
std::string read_table(int fd, const std::string &name, const measure &m,
                       int threads, near_table *t);

// The index beside a table (index_file.cpp).

// The bytes of the index read at a time: enough for few reads, few enough
// that the buffer's pages, each of which costs to touch the first time,
// stay few.
constexpr std::size_t index_read_bytes = 256 << 10;
// The name of a table's index: the table's with this added.
constexpr const char *index_suffix = ".near";
// The index format's version; an index of another is rebuilt (2: the
// columns gather the curves' points, not a fine grid; 3: the stamp holds
// the table's change time).
constexpr std::uint32_t index_version = 3;
// The index's header: its bytes, and what they hold.
constexpr std::size_t index_header_size = 144;
struct index_header {
  std::uint32_t columns = 0;
  file_stamp table;
  std::uint64_t rows = 0;
  std::uint64_t damaged = 0;
  std::uint64_t paths_size = 0;
  std::uint64_t damage_size = 0;
  std::uint64_t body_checksum = 0;
  std::uint64_t measure_code = 0;
};
// Where each part of an index with this header lies, and where it ends.
struct index_layout {
  std::uint64_t hashes_at = 0;
  std::uint64_t places_at = 0;
  std::uint64_t paths_at = 0;
  std::uint64_t damage_at = 0;
  std::uint64_t vectors_at = 0;
  std::uint64_t end = 0;
};
// The layout of an index with header h; false when its sizes are beyond
// any table's. The vectors come last: the search reads them as it goes.
bool layout_of(const index_header &h, index_layout *out);
// Writes h into index_header_size bytes at out, with the magic, the version,
// the byte-order mark and a checksum of the header itself.
void encode_header(const index_header &h, char *out);
// Reads a header from index_header_size bytes; returns "" or why it is not
// one this program wrote on this machine.
std::string decode_header(const char *in, index_header *h);
// The index's path for the table at `table`.
std::string index_path(const std::string &table);
// Opens the index at path into t if it is of this version, byte order and
// measure, stamped with the table's stamp, and whole up to its vectors (its
// checksum taken that far); returns "" or why it cannot be used. The
// search checks the rest.
std::string load_index(const std::string &path, const file_stamp &table,
                       const measure &m, near_table *t);
// Writes t, read under m, as the index at path of the table with this
// stamp: a temporary file beside it, then a rename; returns "" or why not.
std::string write_index(const std::string &path, const file_stamp &table,
                        const measure &m, const near_table &t);

// Stop signals (cleanup.cpp).

// Makes INT, TERM and HUP remove the temporary file of an index being
// written, then end the run as the signal does; ignores SIGPIPE and
// SIGXFSZ, so that a failed write is reported.
void watch_stop_signals();
// Names the temporary file to remove on a stop signal.
void note_temp(const std::string &path);
// Forgets it, once renamed or removed.
void forget_temp();

// Opening a table (open_table.cpp).

// Where the rows came from: the index, the table with a new index written,
// or the table alone (the index could not be written, or the table has no
// row).
enum class table_source { index, built, scanned };
// Opens the table at `table` (shown as `name`) under m: from its index when
// it is current (and `rebuild` is not set), else by reading the table and
// writing the index, or, when that cannot be written, by reading the table
// alone, with *note saying why. Returns "" or the error that leaves no
// rows.
std::string open_table(const std::string &table, const std::string &name,
                       const measure &m, int threads, bool rebuild,
                       near_table *t, table_source *source, std::string *note);

// Queries (queries.cpp).

// A query: its name in the answers (the escaped path, or "-" for curves),
// the path whose rows are left out (escaped; empty for none) and its
// vector, or for bandsway's 768 lines one vector per length in
// bare_chunks, one after another (a row's distance is to the nearest).
struct query {
  std::string name;
  std::string path;
  std::vector<vector_value> vec;
};
// Reads the queries on fd under m, each row a query, or one query of the
// 768 lines (named "-"); a damaged row is named (after `name`) and counted
// in *failed. Returns "" or the error that leaves no query.
std::string read_queries(int fd, const std::string &name, const measure &m,
                         std::vector<query> *qs, long *failed);

// The search (search.cpp).

// A neighbour of a query: a row and its distance.
struct neighbour {
  std::uint64_t row = 0;
  double distance = 0;
};
// Fills *found with the k rows of t nearest to each query, nearest first
// (rows at the same distance in the table's order), its own path's rows
// left out; false when t is an index that turns out cut or damaged.
bool search(const near_table &t, const std::vector<query> &qs, std::size_t k,
            std::vector<std::vector<neighbour>> *found);

// A run of queries (open_table.cpp).

// What a run of queries found.
struct asked {
  std::unique_ptr<near_table> table = std::make_unique<near_table>();
  table_source source = table_source::index;
  std::string note;
  std::vector<query> queries;
  std::vector<std::string> missing;
  std::vector<std::vector<neighbour>> found;
};
// Answers the PATHs (or, with none, the queries qs) from the table at
// `table`: the PATHs found become queries, in order, and those not in the
// table are listed in out->missing. An index that fails its checksum on
// the way is rebuilt and the queries answered again; with `rebuild` the
// index is not read at all. Returns "" or the error that leaves no answer.
std::string ask(const std::string &table, const std::string &name,
                const measure &m, int threads,
                const std::vector<std::string> &paths,
                const std::vector<query> &qs, std::size_t k, bool rebuild,
                asked *out);
// As ask, then the header line and the neighbours' own rows, read again
// from the table, into *rows (-r). A row that is no longer where the
// index says (a table rewritten within one tick of a coarse clock keeps
// its stamp) has the index rebuilt from the table and the queries answered
// again, once. Returns "" or the error that leaves no answer.
std::string ask_rows(const std::string &table, const std::string &name,
                     const measure &m, int threads,
                     const std::vector<std::string> &paths,
                     const std::vector<query> &qs, std::size_t k, asked *out,
                     std::string *rows);

// The answers (answer.cpp).

// Decimals of a distance in the answers.
constexpr int distance_decimals = 4;
// The header line of the answers, with its newline.
std::string answer_header();
// The answer lines of one query: query, rank, distance and path.
std::string answer_lines(const near_table &t, const query &q,
                         const std::vector<neighbour> &found);
// Appends the neighbours' own lines, read again from the table on fd, to
// out; returns "" or why not, with *changed set when a line is no longer
// the row it was.
std::string table_lines(int fd, const std::string &name, const near_table &t,
                        const std::vector<neighbour> &found, std::string *out,
                        bool *changed);

#endif
