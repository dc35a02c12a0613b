#pragma once

// Writes a file whole or not at all: the content goes to a temporary file
// beside it, which is renamed over the target only when complete, so a
// killed process leaves no partial table or part file.

#include <functional>
#include <ostream>
#include <string>

// False with `error` set when the file cannot be written; the target is then
// untouched.
bool WriteFileAtomically(const std::string& path, const std::function<void(std::ostream&)>& write, std::string& error);

// Creates the directory (and its parents) when missing.
bool EnsureDirectory(const std::string& path, std::string& error);
