#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <memory>
#include <utility>

#include <fts.h>
#include <sys/stat.h>

#include "batch.hpp"

namespace {

// A file named on the command line: its typed name and its identity, so
// that the same file found again, under a folder or another name, gives
// one row.
struct named_file {
  std::string name;    // cppcheck-suppress unusedStructMember
  bool seen_elsewhere; // cppcheck-suppress unusedStructMember
};
using file_id = std::pair<dev_t, ino_t>;
using named_files = std::map<file_id, named_file>;

// A folder argument: its name as typed (without trailing slashes) and its
// physical path, so that a folder given twice or inside another is walked
// once.
struct folder_arg {
  std::string name;
  std::string phys;
  bool skip;
};

void report(bool *failed, std::string_view name, std::string_view what) {
  say_about(escape_path(name), what);
  *failed = true;
}

// Whether the file's name ends in one of the extensions, in any case.
bool has_extension(std::string_view name,
                   const std::vector<std::string> &extensions) {
  const std::string ext = extension_of(name);
  return !ext.empty() && std::find(extensions.begin(), extensions.end(), ext) !=
                             extensions.end();
}

// Whether phys lies inside the folder `outer` (or is it).
bool inside(const std::string &phys, const std::string &outer) {
  if (outer == "/")
    return true;
  return phys == outer || (phys.size() > outer.size() &&
                           phys.compare(0, outer.size(), outer) == 0 &&
                           phys[outer.size()] == '/');
}

// Walks one folder, adding the audio files under it to `found`.
void walk(const folder_arg &folder, const std::vector<std::string> &extensions,
          named_files &named, std::vector<std::string> &found, bool *failed,
          const volatile sig_atomic_t *stop) {
  std::string root = folder.name;
  char *roots[] = {root.data(), nullptr};
  // Links are followed, as media scanners do; fts reports the loops.
  std::unique_ptr<FTS, int (*)(FTS *)> fts(
      fts_open(roots, FTS_LOGICAL | FTS_NOCHDIR, nullptr), fts_close);
  if (!fts) {
    report(failed, folder.name, error_text(errno));
    return;
  }
  while (*stop == 0) {
    errno = 0;
    const FTSENT *e = fts_read(fts.get());
    if (e == nullptr) {
      if (errno != 0)
        report(failed, folder.name, error_text(errno));
      return;
    }
    switch (e->fts_info) {
    case FTS_DC:
      report(failed, e->fts_path,
             "a folder loop: it leads back to a folder above it");
      break;
    case FTS_DNR:
    case FTS_ERR:
    case FTS_NS:
      report(failed, e->fts_path, error_text(e->fts_errno));
      break;
    case FTS_SLNONE:
      report(failed, e->fts_path,
             "a symbolic link to nothing (is its drive mounted?)");
      break;
    case FTS_F:
      if (has_extension(e->fts_name, extensions)) {
        const auto n = named.find({e->fts_statp->st_dev, e->fts_statp->st_ino});
        if (n != named.end())
          n->second.seen_elsewhere = true;
        found.push_back(escape_path(e->fts_path));
      }
      break;
    default:
      break;
    }
  }
}

} // namespace

std::string extension_of(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t dot = path.rfind('.');
  if (dot == std::string_view::npos ||
      (slash != std::string_view::npos && dot < slash))
    return "";
  std::string ext(path.substr(dot + 1));
  std::transform(ext.begin(), ext.end(), ext.begin(), [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return ext;
}

scan_result scan_arguments(const std::vector<std::string> &args,
                           const std::vector<std::string> &extensions,
                           const volatile sig_atomic_t *stop) {
  scan_result result;
  named_files named;
  std::vector<folder_arg> folders;
  for (const std::string &arg : args) {
    if (arg.empty()) {
      say("an empty argument names no file or folder");
      result.failed = true;
      continue;
    }
    struct stat st {};
    if (stat(arg.c_str(), &st) != 0) {
      const int err = errno;
      struct stat lst {};
      if (lstat(arg.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode))
        report(&result.failed, arg,
               "a symbolic link to nothing (is its drive mounted?)");
      else if (err == ENOENT)
        report(&result.failed, arg, "no such file or folder");
      else
        report(&result.failed, arg, error_text(err));
    } else if (S_ISDIR(st.st_mode)) {
      std::unique_ptr<char, void (*)(void *)> phys(
          realpath(arg.c_str(), nullptr), std::free);
      if (!phys) {
        report(&result.failed, arg, error_text(errno));
        continue;
      }
      std::string name = arg;
      while (name.size() > 1 && name.back() == '/')
        name.pop_back();
      folders.push_back({name, phys.get(), false});
    } else if (S_ISREG(st.st_mode)) {
      named.insert({{st.st_dev, st.st_ino}, {arg, false}});
    } else {
      report(&result.failed, arg, "not a regular file or folder");
    }
  }
  for (std::size_t i = 0; i < folders.size(); i++)
    for (std::size_t j = 0; j < folders.size() && !folders[i].skip; j++)
      if (j != i && !folders[j].skip &&
          inside(folders[i].phys, folders[j].phys) &&
          (folders[i].phys != folders[j].phys || j < i))
        folders[i].skip = true;
  for (const folder_arg &f : folders)
    if (!f.skip && *stop == 0)
      walk(f, extensions, named, result.paths, &result.failed, stop);
  for (const auto &n : named)
    if (!n.second.seen_elsewhere)
      result.paths.push_back(escape_path(n.second.name));
  std::sort(result.paths.begin(), result.paths.end());
  result.paths.erase(std::unique(result.paths.begin(), result.paths.end()),
                     result.paths.end());
  return result;
}
