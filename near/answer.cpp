// The answers: a table of (query, rank, distance, path), or with -r the
// neighbours' own rows, read again from the table by their offsets.
#include <cerrno>
#include <cstdio>

#include "near.hpp"

std::string answer_header() { return "query\trank\tdistance\tpath\n"; }

std::string answer_lines(const near_table &t, const query &q,
                         const std::vector<neighbour> &found) {
  std::string out;
  for (std::size_t i = 0; i < found.size(); i++) {
    char distance[32];
    std::snprintf(distance, sizeof distance, "%.*f", distance_decimals,
                  found[i].distance);
    out += q.name;
    out += '\t';
    out += std::to_string(i + 1);
    out += '\t';
    out += distance;
    out += '\t';
    out += path_of(t, found[i].row);
    out += '\n';
  }
  return out;
}

std::string table_lines(int fd, const std::string &name, const near_table &t,
                        const std::vector<neighbour> &found, std::string *out,
                        bool *changed) {
  std::string line;
  for (const neighbour &n : found) {
    const row_place p = place_of(t, n.row);
    if (!pread_full(fd, p.offset, p.size, &line))
      return "cannot read " + name + ": " + error_text(errno);
    // The row must still be there: the table may have changed since its
    // rows were read.
    const std::string_view row = plain_line(line, p.offset == 0);
    const std::string path = path_of(t, n.row);
    if (line.size() != p.size || row.substr(0, path.size()) != path ||
        row.substr(path.size(), 1) != "\t") {
      *changed = true;
      return name + " changed while it was read; run the query again";
    }
    *out += row;
    *out += '\n';
  }
  return "";
}
