// The rows of a table as the searches see them, wherever they are held:
// read from the table into blocks of memory, or read from the index.
#include <algorithm>
#include <cstring>

#include "near.hpp"

namespace {

// The seed of the paths' checksums, so that they differ from the index's.
constexpr std::uint64_t path_seed = 0x6e656172ULL;

static_assert(sizeof(row_place) == 24,
              "a row's place is 24 bytes in the index");

} // namespace

std::uint64_t path_hash(std::string_view path) {
  return checksum_of(path.data(), path.size(), path_seed);
}

row_place place_of(const near_table &t, std::uint64_t i) {
  row_place p;
  if (t.places != nullptr) {
    std::memcpy(&p, t.places + i * sizeof p, sizeof p);
    return p;
  }
  std::string bytes;
  if (!pread_full(t.index_fd, t.places_at + i * sizeof p, sizeof p, &bytes) ||
      bytes.size() != sizeof p)
    p.path_at = UINT64_MAX; // no path: path_of gives ""
  else
    std::memcpy(&p, bytes.data(), sizeof p);
  return p;
}

std::string path_of(const near_table &t, std::uint64_t i) {
  const row_place p = place_of(t, i);
  // An index is checked whole only as its vectors are read: until then a
  // damaged place must not point past the paths.
  if (p.path_at > t.paths_size || p.path_size > t.paths_size - p.path_at)
    return {};
  if (t.paths != nullptr)
    return {t.paths + p.path_at, p.path_size};
  std::string path;
  if (!pread_full(t.index_fd, t.paths_at + p.path_at, p.path_size, &path) ||
      path.size() != p.path_size)
    return {};
  return path;
}

bool copy_vector(const near_table &t, std::uint64_t i,
                 std::vector<vector_value> *out) {
  const std::size_t size = static_cast<std::size_t>(curve_count) * t.columns;
  out->resize(size);
  if (t.index_fd < 0) {
    // The last span that starts at or before row i.
    const auto span =
        std::upper_bound(t.spans.begin(), t.spans.end(), i,
                         [](std::uint64_t row, const vector_span &s) {
                           return row < s.first;
                         }) -
        1;
    const vector_value *v = span->data + (i - span->first) * size;
    std::copy(v, v + size, out->begin());
    return true;
  }
  std::string bytes;
  const std::uint64_t n = size * sizeof(vector_value);
  if (!pread_full(t.index_fd, t.vectors_at + i * n, n, &bytes) ||
      bytes.size() != n)
    return false;
  std::memcpy(out->data(), bytes.data(), n);
  return true;
}

bool find_row(const near_table &t, std::string_view path, std::uint64_t *row) {
  const std::uint64_t h = path_hash(path);
  for (std::uint64_t i = 0; i < t.rows; i++)
    if (t.hashes[i] == h && path_of(t, i) == path) {
      *row = i;
      return true;
    }
  return false;
}

void view_stores(near_table *t) {
  t->spans.clear();
  for (std::size_t b = 0; b < t->blocks.size(); b++) {
    const std::uint64_t first = b * rows_per_block;
    t->spans.push_back(
        {t->blocks[b].get(), first,
         std::min<std::uint64_t>(rows_per_block, t->rows - first)});
  }
  t->hashes = t->hash_store.data();
  t->places = reinterpret_cast<const char *>(t->place_store.data());
  t->paths = t->path_store.data();
  t->paths_size = t->path_store.size();
}

long name_table_damage(const near_table &t, const std::string &name) {
  long damaged = 0;
  for (const std::string &why : t.damage) {
    std::string line = name;
    line += ": ";
    line += why;
    name_damage(&damaged, line);
  }
  damaged = static_cast<long>(t.damaged);
  sum_damage(damaged);
  return damaged;
}
