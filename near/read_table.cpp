// A table read into rows of vectors: blocks of lines parsed by several
// threads at once (parsing the numbers is most of the work), then taken in
// the table's order, so that rows and damaged lines keep their order.
#include <algorithm>
#include <cstring>

#include "near.hpp"

namespace {

// What a worker makes of one block.
struct block_rows {
  parsed_row row;
  std::vector<vector_value> vectors;
  std::vector<std::uint64_t> hashes;
  std::vector<row_place> places; // path_at within `paths`
  std::string paths;
  std::vector<std::string> damage;
  bool lone_number = false; // line 1 is a lone number
  bool bad_start = false;   // line 1 is neither a header nor a row
};

void work_block(const line_block &b, const measure &m, block_rows *out) {
  out->vectors.clear();
  out->hashes.clear();
  out->places.clear();
  out->paths.clear();
  out->damage.clear();
  out->lone_number = false;
  out->bad_start = false;
  const auto size = static_cast<std::size_t>(vector_size(m));
  for_each_line(b, [&](std::string_view line, long nr, std::uint64_t at,
                       std::size_t raw_size) {
    // Header lines are skipped wherever they are (tables joined with
    // cat), and so are empty lines.
    if (line.empty() || is_header(line))
      return;
    std::string why = parse_row(line, nr, &out->row);
    if (!why.empty()) {
      double v = 0;
      out->lone_number =
          out->lone_number || (nr == 1 && parse_value(line, "", &v).empty());
      out->bad_start = out->bad_start || nr == 1;
      out->damage.push_back(std::move(why));
      return;
    }
    out->vectors.resize(out->vectors.size() + size);
    row_vector(out->row.values, out->row.chunks, m,
               out->vectors.data() + out->vectors.size() - size);
    out->hashes.push_back(path_hash(out->row.path));
    row_place p;
    p.offset = at;
    p.size = static_cast<std::uint32_t>(raw_size);
    p.path_size = static_cast<std::uint32_t>(out->row.path.size());
    p.path_at = out->paths.size();
    out->places.push_back(p);
    out->paths += out->row.path;
  });
}

void add_damage(near_table *t, std::string why) {
  if (t->damage.size() < static_cast<std::size_t>(max_named_damage))
    t->damage.push_back(std::move(why));
  t->damaged++;
}

// A table starts with its header or a row (bandsway-batch writes one or
// the other first): anything else is another file, most often given where
// the table goes, whose every line would be named as damage.
std::string not_table(const std::string &name) {
  return name + " is not a bandsway-batch table: line 1 is neither its "
                "header nor a row (TABLE comes first, then the PATHs)";
}

std::string take_block(const line_block &b, const std::string &name,
                       const measure &m, const block_rows &got, near_table *t) {
  if (b.overlong && b.first_nr == 1)
    return not_table(name);
  if (b.overlong) {
    add_damage(t, "line " + std::to_string(b.first_nr) + ": longer than " +
                      std::to_string(max_table_line) + " bytes");
    return "";
  }
  // bandsway's 768 lines given as the table: say so once rather than name
  // each line as a damaged row.
  if (got.lone_number)
    return name +
           ": line 1 is a lone number, as in the curves that bandsway prints "
           "for one file: give those on standard input (bandsway-near TABLE "
           "< CURVES), a table as TABLE";
  if (got.bad_start)
    return not_table(name);
  for (const std::string &why : got.damage)
    add_damage(t, why);
  const auto size = static_cast<std::size_t>(vector_size(m));
  for (std::size_t i = 0; i < got.hashes.size(); i++) {
    const std::size_t in_block = t->rows % rows_per_block;
    if (in_block == 0)
      t->blocks.push_back(
          std::make_unique<vector_value[]>(rows_per_block * size));
    std::memcpy(t->blocks.back().get() + in_block * size,
                got.vectors.data() + i * size, size * sizeof(vector_value));
    t->hash_store.push_back(got.hashes[i]);
    row_place p = got.places[i];
    p.path_at += t->path_store.size();
    t->place_store.push_back(p);
    t->rows++;
  }
  t->path_store += got.paths;
  return "";
}

} // namespace

std::string read_table(int fd, const std::string &name, const measure &m,
                       int threads, near_table *t) {
  t->columns = m.columns;
  block_reader r;
  start_blocks(&r, fd, table_block_bytes);
  std::vector<block_rows> slots(block_slots(threads));
  std::string why = run_blocks(
      &r, name, threads,
      [&](const line_block &b, std::size_t slot) {
        if (!b.overlong)
          work_block(b, m, &slots[slot]);
      },
      [&](const line_block &b, std::size_t slot) {
        return take_block(b, name, m, slots[slot], t);
      });
  view_stores(t);
  return why;
}
