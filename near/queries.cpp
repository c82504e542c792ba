// The queries on standard input: rows of a table (what bandsway-batch
// prints for new files), or bandsway's 768 lines for one file.
#include <iterator>
#include <memory>

#include "near.hpp"

namespace {

// How the input is written, as its first line shows.
enum class input_kind { unknown, rows, lines };

struct query_reader {
  const std::string *name;
  const measure *m;
  std::vector<query> *qs;
  long *damaged;
  input_kind kind = input_kind::unknown;
  bool header_seen = false;
  long empty_at = 0; // the first empty line among the 768, if any
  parsed_row row;
  std::vector<double> values;
};

// The line without the blanks around it (the line holds more than blanks).
std::string_view unpadded(std::string_view line) {
  const std::size_t first = line.find_first_not_of(" \t");
  const std::size_t last = line.find_last_not_of(" \t");
  return line.substr(first, last - first + 1);
}

std::string take_row(query_reader *r, std::string_view line, long nr) {
  const std::string why = parse_row(line, nr, &r->row);
  if (!why.empty()) {
    // As a table's: the first named, the rest only counted.
    name_damage(r->damaged, *r->name + ": " + why);
    return "";
  }
  query q;
  q.name = std::string(r->row.path);
  q.path = q.name;
  q.vec.resize(static_cast<std::size_t>(vector_size(*r->m)));
  row_vector(r->row.values, r->row.chunks, *r->m, q.vec.data());
  r->qs->push_back(std::move(q));
  return "";
}

std::string take_value(query_reader *r, std::string_view line, long nr) {
  const std::string at = *r->name + ": line " + std::to_string(nr);
  if (r->empty_at != 0)
    return *r->name + ": line " + std::to_string(r->empty_at) + " is empty";
  if (r->values.size() == static_cast<std::size_t>(row_values))
    return *r->name + ": more than " + std::to_string(row_values) +
           " values; stopped at line " + std::to_string(nr);
  // One number, blanks around it allowed, as bandsway-plot takes it.
  const std::string_view number = unpadded(line);
  if (number.find_first_of(" \t") != std::string_view::npos)
    return at + " is not a number: " + quote(line);
  double v = 0;
  std::string why = parse_value(number, at, &v);
  if (!why.empty())
    return why;
  r->values.push_back(v);
  return "";
}

std::string take_line(query_reader *r, std::string_view line, long nr) {
  if (is_header(line)) {
    r->header_seen = true;
    return "";
  }
  if (line.find_first_not_of(" \t") == std::string_view::npos) {
    // Empty lines are left out between rows and at the end of the
    // 768, not among them.
    if (r->kind == input_kind::lines && r->empty_at == 0)
      r->empty_at = nr;
    return "";
  }
  // A row has tabs between its fields; bandsway's lines have one number
  // each, blanks (spaces or tabs) around it allowed.
  if (r->kind == input_kind::unknown)
    r->kind = unpadded(line).find('\t') != std::string_view::npos
                  ? input_kind::rows
                  : input_kind::lines;
  return r->kind == input_kind::rows ? take_row(r, line, nr)
                                     : take_value(r, line, nr);
}

} // namespace

std::string read_queries(int fd, const std::string &name, const measure &m,
                         std::vector<query> *qs, long *failed) {
  auto r = std::make_unique<query_reader>();
  r->name = &name;
  r->m = &m;
  r->qs = qs;
  long damaged = 0;
  r->damaged = &damaged;
  std::string why = read_lines(
      fd, name,
      [&](std::string_view line, long nr) {
        return take_line(r.get(), line, nr);
      },
      &damaged);
  // An overlong line was named as a damaged row; among the 768 lines it
  // leaves no query.
  sum_damage(damaged);
  *failed += damaged;
  if (damaged > 0 && why.empty() && r->kind != input_kind::rows)
    why = name + ": a line is longer than " + std::to_string(max_table_line) +
          " bytes";
  if (!why.empty())
    return why;
  if (r->kind == input_kind::unknown)
    return name + (r->header_seen ? " holds a header line but no row"
                                  : " holds no query: give PATHs, rows of a "
                                    "table, or bandsway's 768 lines");
  if (r->kind == input_kind::lines) {
    if (r->values.size() != static_cast<std::size_t>(row_values))
      return name + ": expected " + std::to_string(row_values) +
             " values (three curves of " + std::to_string(curve_points) +
             "), got " + std::to_string(r->values.size());
    query q;
    q.name = "-";
    const auto size = static_cast<std::size_t>(vector_size(m));
    q.vec.resize(size * std::size(bare_chunks));
    for (std::size_t i = 0; i < std::size(bare_chunks); i++)
      row_vector(r->values.data(), bare_chunks[i], m, q.vec.data() + i * size);
    qs->push_back(std::move(q));
  }
  return "";
}
