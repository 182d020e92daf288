// Path joining and shell quoting: the one place where paths from the console and command lines
// for /bin/sh are put together.
#pragma once

#include <boost/filesystem/path.hpp>
#include <string>

// Appends `right` to `left`: an empty right side leaves `left` unchanged; a right side that starts
// with "/" is appended as it is; any other is appended after one "/" (left out when `left` is
// empty or already ends in one). An absolute right side therefore lands under `left`.
boost::filesystem::path path_join(const boost::filesystem::path& left, const std::string& right);

// `word` as one /bin/sh word: in single quotes, each embedded single quote written as '\''.
std::string shell_quote(const std::string& word);

// Appends " " and the quoted `word` to `command`; an empty word adds nothing.
void shell_append(std::string& command, const std::string& word);
