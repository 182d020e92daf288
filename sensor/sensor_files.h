// Unpacking an uploaded gzip-compressed tar archive into a sensor directory, for the file command
// and for the archive fuzz target.
#pragma once

#include <functional>
#include <string>

namespace ferun {

// Places the archive read from `archive_fd` (from its start) in the directory `path` below the
// open sensor directory `sensor_fd`, whole or not at all. Throws `exception_t` with the answer's
// text when the archive is refused or cannot be placed; the refusal is logged on the sensor
// channel. When `cancelled` is given it is asked between members and between blocks of a member
// while the archive is read; once it answers true the reading ends, nothing is placed, and the
// answer is "upload cancelled: the sensor is stopping". The caller holds the sensor directory's
// lock.
void place_archive(int sensor_fd, const std::string& path, int archive_fd,
                   const std::function<bool()>& cancelled = nullptr);

}  // namespace ferun
