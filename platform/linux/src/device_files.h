// Small readers for the text files the device and package facts come from.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace vellumark::linux_platform::device {

// The whole file, or nullopt with errno set. Files here are small; anything
// past `limit` bytes is not read.
std::optional<std::string> readSmallFile(const std::string& path, size_t limit = 64 * 1024);

// `text` without trailing white space.
std::string trimEnd(std::string text);

// The assignments of an environment-style file (os-release, machine-info,
// user-dirs.dirs): KEY=VALUE lines, the value bare, in single quotes, or in
// double quotes with backslash escapes; comments and blank lines skipped.
std::map<std::string, std::string> parseAssignments(const std::string& text);

}  // namespace vellumark::linux_platform::device
