#pragma once

#include <string>
#include <string_view>

namespace vesk::ExecutablePath {

// The directory that holds the running executable; relative paths on the command line
// are taken from there, whatever the current directory is.
std::string directory();

// path itself when absolute, otherwise executableDir with path appended.
std::string resolve(std::string_view path, std::string_view executableDir);

// Path-string rules: one "/" between the parts; the parent of "/a" is "/", of "a" "".
std::string appendingComponent(std::string_view base, std::string_view component);
std::string deletingLastComponent(std::string_view path);

}  // namespace vesk::ExecutablePath
