#include "batch.hpp"

// Stands in for the whole-file checks until they are merged: no facts, no
// fault.
file_facts facts_from_bytes(std::string_view, std::string_view, std::uint64_t) {
  return {};
}

file_facts read_file_facts(const std::string &) { return {}; }

std::string judge_length(const file_facts &, long long) { return ""; }
