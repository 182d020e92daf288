// Placing an uploaded file under the sensor's directory: copied as sent, gunzipped, or unpacked
// from a gzip-compressed tar archive. The framer has already stored the content in the download
// file by the time `on_file` runs; the download file is removed once the upload is placed, refused
// or cancelled.
//
// Everything is reached relative to the sensor directory's descriptor and no link on the disk is
// ever followed. Every upload is put together in a private staging directory of the sensor
// directory (the same file system, so that the renames into place are atomic). A plain or gzip
// upload is one file, renamed over its target once whole; an archive is unpacked by
// archive_unpack.cpp, one journaled step at a time. A placing cut short by the worker's death is
// rolled back here before the directory is used again. A stop request ends the copying,
// gunzipping or unpacking within about a second, and nothing is placed.
#include "sensor/sensor_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/system/system_error.hpp>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sensor/replace_file.h"
#include "sensor/sensor.h"
#include "sensor/upload_failures.h"
#include "support/clock.h"
#include "support/held_dir.h"
#include "support/script_run.h"
#include "support/string_utils.h"

namespace ferun {

using namespace uploads;

namespace {

constexpr std::uint32_t flag_gzip = 0x1;
constexpr std::uint32_t flag_tar_gz = 0x2;

// While an earlier placing cannot be rolled back, no other is made.
const char* const earlier_text = "an earlier upload is still to be put back";

// A plain or gzip upload: written in a staging directory and renamed over the target only when
// whole, so that a failure (bad data, a full disk, a stop) leaves the stored file as it was.
void place_file(int sensor_fd, const std::vector<std::string>& parts, const std::string& path,
                int download, bool gzip, const std::function<bool()>& cancelled) {
  const char* const answer = gzip ? gzip_failure : nullptr;
  struct stat st;
  const fd_t parent(parts.empty() ? -1 : make_dirs(sensor_fd, parts, parts.size() - 1));
  if (!parts.empty() && !parent) {
    if (errno == ELOOP) refuse_path(path);
    placement_failed(system_text(errno), answer);
  }
  if (parts.empty() ||
      (::fstatat(parent.get(), parts.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
       S_ISDIR(st.st_mode))) {
    if (gzip) {
      sensor_t::L.error("------\n");
      throw exception_t(gzip_failure);
    }
    placement_failed(system_text(EISDIR), nullptr);
  }
  staging_dir_t stage;
  temp_file_t temp;
  if (!stage.create(sensor_fd) || !temp.create(stage.fd(), parent.get(), parts.back()))
    placement_failed(system_text(errno), answer);
  if (gzip) {
    // "exec": a stop kills gunzip itself, not only the shell that waits for it.
    if (::lseek(download, 0, SEEK_SET) != 0 ||
        run_shell("exec gunzip -c", download, temp.fd, -1, cancelled) != 0) {
      if (stopping(cancelled)) upload_cancelled(path);
      sensor_t::L.error("------\n");
      throw exception_t(gzip_failure);
    }
  } else if (!temp.copy_from(download, cancelled)) {
    if (errno == ECANCELED) upload_cancelled(path);
    placement_failed(system_text(errno), nullptr);
  }
  if (!temp.close() || !temp.rename_to_target()) placement_failed(system_text(errno), answer);
}

// Removes the download file when the upload has been placed or refused.
struct remove_download_t {
  proto_t& proto;
  ~remove_download_t() { proto.remove_download(); }
};

// Rolls back the placings that earlier uploads left cut short in the sensor directory (a killed
// worker, an undo that could not complete), then removes their staging directories. False when
// one could not be rolled back: it stays, logged, for the next try.
bool clear_leftovers(int sensor_fd, const std::string& sensor_name) {
  log_t& L = sensor_t::L;
  std::vector<std::string> names;
  const int listed = ::openat(sensor_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* const listing = listed < 0 ? nullptr : ::fdopendir(listed);
  if (listing == nullptr) {
    if (listed >= 0) ::close(listed);
    return true;
  }
  const std::string prefix = staging_dir_t::prefix;
  bool clear = true;
  while (const struct dirent* entry = ::readdir(listing))
    if (std::string(entry->d_name).compare(0, prefix.size(), prefix) == 0)
      names.emplace_back(entry->d_name);
  ::closedir(listing);
  for (const std::string& name : names) {
    // A placing cut short is rolled back first: its staging directory holds what it replaced.
    const std::string upload = string_utils::format("unfinished upload %s of sensor %s",
                                                    name.c_str(), sensor_name.c_str());
    const auto report = [&](const std::string& text) {
      L.error("%s: %s\n", upload.c_str(), text.c_str());
    };
    bool whole = true, rolled_back = false;
    fd_t stage(open_subdir(sensor_fd, name));
    if (stage) {
      try {
        whole = roll_back_journal(sensor_fd, stage.get(), report, rolled_back);
      } catch (const std::exception& e) {  // memory ran out
        report(e.what());
        whole = false;
      }
    } else if (errno != ENOTDIR && errno != ELOOP) {  // else none of a placing's
      report("can't open it (" + system_text(errno) + ")");
      whole = false;
    }
    stage.reset();
    if (!whole) {
      L.error("%s is kept, to be rolled back at the next hello\n", upload.c_str());
      clear = false;
      continue;
    }
    if (rolled_back) L.warning("%s rolled back\n", upload.c_str());
    if (!remove_tree(sensor_fd, name))
      L.error("can't remove %s of sensor %s (%s)\n", name.c_str(), sensor_name.c_str(),
              system_text(errno).c_str());
  }
  return clear;
}

}  // namespace

void sensor_t::remove_upload_leftovers() {
  clear_leftovers(sensor_fd.get(), sensor_name);
}

void sensor_t::on_file(const command_file_t& cmd) {
  answer_t answer(cmd.id | answer_bit, 0);
  const std::function<bool()> cancelled = [this] { return stop_requested || g_do_exit; };
  try {
    const remove_download_t placed_or_refused{proto};
    std::vector<std::string> parts;
    // A NUL byte would cut the name short wherever it is used as a C string.
    if (cmd.path.find("..") != std::string::npos || cmd.path.find('\0') != std::string::npos ||
        !split_path(cmd.path, parts))
      refuse_path(cmd.path);
    if (!proto.download_error().empty()) {
      // The content could not be stored whole: placing what there is would install a cut file.
      L.error("Download file error: %s\n", proto.download_error().c_str());
      throw exception_t(proto.download_error());
    }
    // One upload of a sensor at a time, also across connections.
    const dir_lock_t one_upload(sensor_fd.get());
    // A placing that could not be undone at once is rolled back before another builds on it;
    // while that fails, no other is made (two could only be put back in the order they came).
    if (!clear_leftovers(sensor_fd.get(), sensor_name)) placement_failed(earlier_text, nullptr);
    if (cmd.flags & flag_gzip)
      place_file(sensor_fd.get(), parts, cmd.path, proto.download_fd(), true, cancelled);
    else if (cmd.flags & flag_tar_gz)
      place_archive(sensor_fd.get(), cmd.path, proto.download_fd(), cancelled);
    else
      place_file(sensor_fd.get(), parts, cmd.path, proto.download_fd(), false, cancelled);
  } catch (const exception_t& e) {
    answer.status = 1;
    answer.message = e.message;
  } catch (const std::exception& e) {
    L.error("Download file error: %s\n", e.what());
    answer.status = 1;
    answer.message = e.what();
  }
  // Sent after the download file is gone, so that a console never sees it linger.
  proto.write(answer);
}

}  // namespace ferun
