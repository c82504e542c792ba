// The index beside a table: its rows' vectors, path checksums, places and
// paths, and its damaged rows, after a header that ties it to the table's
// stamp. It is used only when its header and its whole body check out, so
// that a stale, cut or damaged index is never read; otherwise it is
// rebuilt.
//
// The header, in this machine's byte order (the mark tells another's):
//   0 magic "bsw-near"    8 version       12 byte-order mark   16 header size
//  20 columns            24 value size    28 place size
//  32 table size         40 mtime s       48 mtime ns          56 inode
//  64 device             72 rows          80 damaged rows      88 paths bytes
//  96 damage bytes      104 body checksum 112 ctime s            120 ctime ns
// 128 measure checksum  136 header checksum (of 0..135)
// The body: rows x 8 path checksums, rows x 24 places, the paths, the
// damage messages (one a line), then rows x 3 x columns 16-bit vectors,
// last, so that a query reads them in one stream after the rest.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "near.hpp"

namespace {

constexpr char magic[8] = {'b', 's', 'w', '-', 'n', 'e', 'a', 'r'};
constexpr std::uint32_t byte_order_mark = 0x01020304;
constexpr std::uint64_t header_seed = 0x68656164ULL;
constexpr std::uint64_t body_seed = 0x626f6479ULL;
constexpr std::size_t checked_header = 136;

template <typename T> void put(char *out, std::size_t at, T v) {
  std::memcpy(out + at, &v, sizeof v);
}

template <typename T> T get(const char *in, std::size_t at) {
  T v{};
  std::memcpy(&v, in + at, sizeof v);
  return v;
}

std::string damage_text(const near_table &t) {
  std::string text;
  for (const std::string &why : t.damage)
    text += why + "\n";
  return text;
}

std::uint64_t vector_bytes(const near_table &t, std::uint64_t rows) {
  return rows * curve_count * static_cast<std::uint64_t>(t.columns) *
         sizeof(vector_value);
}

// Feeds every part of the body, in order, to `add`, until it fails.
template <typename F>
bool each_part(const near_table &t, const std::string &damage, F add) {
  if (!add(t.hashes, t.rows * sizeof(std::uint64_t)) ||
      !add(t.places, t.rows * sizeof(row_place)) ||
      !add(t.paths, t.paths_size) || !add(damage.data(), damage.size()))
    return false;
  for (const vector_span &s : t.spans)
    if (!add(s.data, vector_bytes(t, s.rows)))
      return false;
  return true;
}

} // namespace

bool layout_of(const index_header &h, index_layout *out) {
  // Bounds far past any table, so that no sum below overflows.
  if (h.columns == 0 || h.columns % 8 != 0 || h.columns > max_columns ||
      h.rows > (1ULL << 40) || h.paths_size > (1ULL << 50) ||
      h.damage_size > (1ULL << 40))
    return false;
  out->hashes_at = index_header_size;
  out->places_at = out->hashes_at + h.rows * sizeof(std::uint64_t);
  out->paths_at = out->places_at + h.rows * sizeof(row_place);
  out->damage_at = out->paths_at + h.paths_size;
  out->vectors_at = out->damage_at + h.damage_size;
  out->end =
      out->vectors_at + h.rows * curve_count * h.columns * sizeof(vector_value);
  return true;
}

void encode_header(const index_header &h, char *out) {
  std::memset(out, 0, index_header_size);
  std::memcpy(out, magic, sizeof magic);
  put<std::uint32_t>(out, 8, index_version);
  put<std::uint32_t>(out, 12, byte_order_mark);
  put<std::uint32_t>(out, 16, index_header_size);
  put<std::uint32_t>(out, 20, h.columns);
  put<std::uint32_t>(out, 24, sizeof(vector_value));
  put<std::uint32_t>(out, 28, sizeof(row_place));
  put<std::uint64_t>(out, 32, h.table.size);
  put<std::int64_t>(out, 40, h.table.mtime_sec);
  put<std::int64_t>(out, 48, h.table.mtime_nsec);
  put<std::uint64_t>(out, 56, h.table.inode);
  put<std::uint64_t>(out, 64, h.table.device);
  put<std::uint64_t>(out, 72, h.rows);
  put<std::uint64_t>(out, 80, h.damaged);
  put<std::uint64_t>(out, 88, h.paths_size);
  put<std::uint64_t>(out, 96, h.damage_size);
  put<std::uint64_t>(out, 104, h.body_checksum);
  put<std::int64_t>(out, 112, h.table.ctime_sec);
  put<std::int64_t>(out, 120, h.table.ctime_nsec);
  put<std::uint64_t>(out, 128, h.measure_code);
  put<std::uint64_t>(out, checked_header,
                     checksum_of(out, checked_header, header_seed));
}

std::string decode_header(const char *in, index_header *h) {
  if (std::memcmp(in, magic, sizeof magic) != 0)
    return "it is not an index of bandsway-near";
  if (get<std::uint32_t>(in, 12) != byte_order_mark)
    return "it was written on a machine of another byte order";
  if (get<std::uint32_t>(in, 8) != index_version)
    return "it is of another version";
  if (get<std::uint64_t>(in, checked_header) !=
      checksum_of(in, checked_header, header_seed))
    return "its header is damaged";
  if (get<std::uint32_t>(in, 16) != index_header_size ||
      get<std::uint32_t>(in, 24) != sizeof(vector_value) ||
      get<std::uint32_t>(in, 28) != sizeof(row_place))
    return "it is of another layout";
  h->columns = get<std::uint32_t>(in, 20);
  h->table.size = get<std::uint64_t>(in, 32);
  h->table.mtime_sec = get<std::int64_t>(in, 40);
  h->table.mtime_nsec = get<std::int64_t>(in, 48);
  h->table.inode = get<std::uint64_t>(in, 56);
  h->table.device = get<std::uint64_t>(in, 64);
  h->rows = get<std::uint64_t>(in, 72);
  h->damaged = get<std::uint64_t>(in, 80);
  h->paths_size = get<std::uint64_t>(in, 88);
  h->damage_size = get<std::uint64_t>(in, 96);
  h->body_checksum = get<std::uint64_t>(in, 104);
  h->table.ctime_sec = get<std::int64_t>(in, 112);
  h->table.ctime_nsec = get<std::int64_t>(in, 120);
  h->measure_code = get<std::uint64_t>(in, 128);
  return "";
}

std::string index_path(const std::string &table) {
  return table + index_suffix;
}

std::string load_index(const std::string &path, const file_stamp &table,
                       const measure &m, near_table *t) {
  // Not blocking: a FIFO under the index's name must not hang the query.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0)
    return errno == ENOENT ? "there is none" : error_text(errno);
  struct stat st {};
  std::string header;
  index_header h;
  index_layout at;
  std::string why;
  if (fstat(fd, &st) != 0 ||
      (S_ISREG(st.st_mode) && !pread_full(fd, 0, index_header_size, &header)))
    why = error_text(errno);
  else if (!S_ISREG(st.st_mode))
    why = "it is not a regular file";
  else if (header.size() < index_header_size)
    why = "it is cut short";
  if (why.empty())
    why = decode_header(header.data(), &h);
  if (why.empty() && (h.measure_code != measure_code(m) ||
                      h.columns != static_cast<std::uint32_t>(m.columns)))
    why = "it was built for another measure";
  else if (why.empty() && !same_stamp(h.table, table))
    why = "the table has changed since";
  else if (why.empty() && !layout_of(h, &at))
    why = "its header is damaged";
  else if (why.empty() && at.end != static_cast<std::uint64_t>(st.st_size))
    why = at.end > static_cast<std::uint64_t>(st.st_size)
              ? "it is cut short"
              : "it is longer than its header says";
  // The path checksums into memory, then the places, paths and damage
  // read through, up to the vectors, for the checksum: a buffer used again
  // and again costs less than touching a page of new memory for each.
  checksum_state sum;
  checksum_start(&sum, body_seed);
  if (why.empty() &&
      lseek(fd, static_cast<off_t>(index_header_size), SEEK_SET) < 0)
    why = error_text(errno);
  if (why.empty()) {
    t->hash_store.resize(static_cast<std::size_t>(h.rows));
    const std::size_t n = t->hash_store.size() * sizeof(std::uint64_t);
    if (read_full(fd, reinterpret_cast<char *>(t->hash_store.data()), n) !=
        static_cast<ssize_t>(n))
      why = "it is cut short";
    checksum_add(&sum, t->hash_store.data(), n);
  }
  // Not zeroed: read() fills it.
  const std::unique_ptr<char[]> buf(new char[index_read_bytes]);
  for (std::uint64_t left = at.vectors_at - at.places_at;
       why.empty() && left > 0;) {
    const auto n = static_cast<std::size_t>(
        std::min<std::uint64_t>(left, index_read_bytes));
    if (read_full(fd, buf.get(), n) != static_cast<ssize_t>(n))
      why = "it is cut short";
    checksum_add(&sum, buf.get(), n);
    left -= n;
  }
  std::string damage;
  if (why.empty() && !pread_full(fd, at.damage_at, h.damage_size, &damage))
    why = error_text(errno);
  if (!why.empty()) {
    close(fd);
    return why;
  }
  t->columns = m.columns;
  t->rows = h.rows;
  t->hashes = t->hash_store.data();
  t->places_at = at.places_at;
  t->paths_at = at.paths_at;
  t->paths_size = h.paths_size;
  t->damaged = h.damaged;
  std::string_view text = damage;
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    t->damage.emplace_back(text.substr(0, nl));
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
  }
  t->index_fd = fd;
  t->vectors_at = at.vectors_at;
  t->sum = sum;
  t->body_checksum = h.body_checksum;
  return "";
}

std::string write_index(const std::string &path, const file_stamp &table,
                        const measure &m, const near_table &t) {
  const std::string damage = damage_text(t);
  index_header h;
  h.columns = static_cast<std::uint32_t>(t.columns);
  h.table = table;
  h.rows = t.rows;
  h.damaged = t.damaged;
  h.paths_size = t.paths_size;
  h.damage_size = damage.size();
  h.measure_code = measure_code(m);
  checksum_state sum;
  checksum_start(&sum, body_seed);
  each_part(t, damage, [&](const void *p, std::uint64_t n) {
    checksum_add(&sum, p, n);
    return true;
  });
  h.body_checksum = checksum_end(&sum);
  char header[index_header_size];
  encode_header(h, header);

  replacement rep;
  std::string why = start_replace(&rep, path);
  if (!why.empty())
    return why;
  note_temp(rep.temp);
  int err = write_all(rep.fd, std::string_view(header, sizeof header));
  if (err == 0)
    each_part(t, damage, [&](const void *p, std::uint64_t n) {
      err = write_all(rep.fd, std::string_view(static_cast<const char *>(p),
                                               static_cast<std::size_t>(n)));
      return err == 0;
    });
  if (err != 0) {
    drop_replace(&rep);
    forget_temp();
    return error_text(err);
  }
  why = finish_replace(&rep);
  forget_temp();
  return why;
}
