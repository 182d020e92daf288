// Replacing what is stored, whole or not at all, relative to directories held open by descriptor
// and never through a link.
//
// One file (`temp_file_t`): written under a temporary name, flushed to the disk, then renamed over
// the target. A failure at any step (a full disk, say) leaves the target as it was, and the
// temporary file is removed. The temporary file lives beside its target or in a staging directory:
// a private directory of the sensor directory where an upload is put together before it replaces
// what is stored. A worker that dies meanwhile leaves only the staging directory, which the sensor
// removes at the next hello.
//
// A tree of files (an unpacked archive, see sensor_files.cpp): placed step by step, each step
// recorded in a journal in the staging directory before it is taken. The journal is removed once
// the last step is taken; a staging directory that still holds one belongs to a placing cut short
// (the worker was killed), and `roll_back_journal` puts back what it replaced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/held_dir.h"

namespace ferun {

// A fresh directory ".upload-XXXXXXXX" (mode 0700) of a directory held open, removed with its
// content when dropped unless kept.
class staging_dir_t {
 public:
  static const char* const prefix;  // ".upload-": what the leftovers are known by

  staging_dir_t() = default;
  ~staging_dir_t();
  staging_dir_t(const staging_dir_t&) = delete;
  staging_dir_t& operator=(const staging_dir_t&) = delete;

  // Makes and opens the directory in `parent`; false with errno set when none could be made.
  bool create(int parent);
  int fd() const { return fd_.get(); }
  const std::string& name() const { return name_; }
  // Whether the directory stays in place when dropped.
  void keep(bool keep) { keep_ = keep; }

 private:
  int parent_ = -1;
  fd_t fd_;
  std::string name_;
  bool keep_ = false;
};

class temp_file_t {
 public:
  temp_file_t() = default;
  // Removes the file unless it has been renamed into place.
  ~temp_file_t();
  temp_file_t(const temp_file_t&) = delete;
  temp_file_t& operator=(const temp_file_t&) = delete;

  // Creates a new, empty file beside `target` in the directory `dir`: with the mode of `target`
  // when that is a regular file (permissions set by hand survive the replacement), else 0644 less
  // the umask; a setuid or setgid bit and group or other write are never kept. False with errno set
  // when none could be made.
  bool create(int dir, const std::string& target);
  // The same, the file made in the staging directory `stage` (of the same file system as `dir`)
  // instead: its name takes nothing from the target's, so a target name of any length fits.
  bool create(int stage, int dir, const std::string& target);

  // Each returns false with errno set on failure.
  bool write_all(const std::string& text) { return write_all(text.data(), text.size()); }
  bool write_all(const char* data, std::size_t size);
  // Appends the whole content of the open file `source`, read from its start. When `cancelled`
  // answers true (asked before each 64 KiB) the copy stops: false with errno ECANCELED.
  bool copy_from(int source, const std::function<bool()>& cancelled = nullptr);
  // Flushes the content to the disk and closes the file.
  bool close();
  // Renames the closed file over its target.
  bool rename_to_target();

  int fd = -1;
  std::string name;  // in the directory it was made in; empty once renamed

 private:
  bool make(int home, int dir, const std::string& target, const std::string& prefix);

  int home_ = -1;  // where the file is made
  int dir_ = -1;   // where its target is
  std::string target_;
};

// Walks a directory tree from a root held open, one level at a time, holding a bounded number of
// descriptors: the first `held_levels` levels stay open, so that ordinary trees never open a
// directory twice; below them only the current one is, and a parent is opened again through ".."
// (checked to be the directory it was). A "patient" move retries for about a second while
// descriptors or memory run out (other threads of the process may hold them for a moment).
class dir_chain_t {
 public:
  static constexpr std::size_t held_levels = 64;

  // Starts at `root` itself (a descriptor of its own), room made for `depth` levels below it.
  // False with errno set.
  bool open(int root, std::size_t depth);
  int fd() const { return levels_.back().fd.get(); }
  std::size_t depth() const { return levels_.size() - 1; }
  // Into the subdirectory `name` of the current directory (never a link); false with errno set.
  bool down(const char* name, bool patient);
  // Back to the parent; false with errno set, the chain staying where it was.
  bool up(bool patient);

 private:
  struct level_t {
    fd_t fd;  // closed below the held levels, but for the current one
    std::uint64_t dev = 0, ino = 0;
  };
  std::vector<level_t> levels_;
};

// One step of placing a tree, as its journal records it. `name` is a single component in the
// directory the chain stands in; `staged` the number that names a file or directory in the staging
// directory; `dev`/`ino` identify the file an exchange replaces, or what an addition adds.
struct place_step_t {
  enum kind_t : std::uint8_t {
    enter = 1,     // into the existing directory `name`
    leave = 2,     // out of `name`, back to its parent
    exchange = 3,  // staged `staged` swapped with what `name` was (which waits in its place)
    add = 4,       // staged `staged` moved to the free `name` (a file, link or new directory)
  };
  kind_t kind = enter;
  std::uint32_t staged = 0;
  std::uint64_t dev = 0, ino = 0;
  const char* name = "";
};

// The journal of a placing, "journal" in its staging directory. Each record is appended in one
// write() before its step is taken: a killed process loses no buffered record, and a record cut by
// the kill is told apart and ignored.
class place_journal_t {
 public:
  static const char* const file_name;

  // Creates the journal in the staging directory `stage`; false with errno set.
  bool create(int stage);
  // False with errno set (ENAMETOOLONG for a name longer than a directory entry may be).
  bool append(const place_step_t& step);
  // No more records are written (the descriptor is given back).
  void close() { fd_.reset(); }
  // Commits the placing: a placing whose journal is gone is never rolled back.
  bool remove();

 private:
  int stage_ = -1;
  fd_t fd_;
};

// The steps a journal's bytes record, and the names of the directories entered and not left at
// its end; a record cut at the end is left out. False when the bytes are no journal or a record
// makes no sense (`damaged_at`: its offset).
bool parse_journal(const std::string& bytes, std::vector<place_step_t>& steps,
                   std::vector<const char*>& path, std::size_t& damaged_at);

// Undoes `steps` in reverse order, moving back to the staging directory `stage` what each put in
// place: an exchange only when the file it replaced waits in the staging directory, an addition
// only when its place holds what it added (a step never taken, or already undone, is left alone).
// `path` names the directories from the root to where the last step left off; `chain` stands
// there or below (it climbs first). Each thing that cannot be put back is reported ("can't put
// back conf/a (reason)"), so is a directory that cannot be reached, which ends the walk; true when
// nothing was reported.
bool roll_back(dir_chain_t& chain, std::vector<const char*>& path,
               const std::vector<place_step_t>& steps, int stage,
               const std::function<void(const std::string&)>& report);

// Rolls back the placing whose staging directory `stage` (open) of `root` still holds a journal,
// then removes the journal. False, with the reasons reported, when the journal cannot be read or
// something cannot be put back: the journal then stays for another attempt. `rolled_back` tells
// whether there was a journal.
bool roll_back_journal(int root, int stage, const std::function<void(const std::string&)>& report,
                       bool& rolled_back);

}  // namespace ferun
