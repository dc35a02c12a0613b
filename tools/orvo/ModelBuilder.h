#pragma once

// Builds a model library from its description with an installed orvo (or a
// build tree): runs the generator, compiles the generated C++ and links it
// with the runtime archive, using the flags recorded in build.conf. Values in,
// values out: faults come back as text, nothing is printed.

#include <map>
#include <string>
#include <vector>

// The recorded compile and link settings; relative paths are resolved
// against the folder of the file they came from.
struct BuildConfig {
    std::string cxx, python, generator, include, runtime, odepack, exportMap;
    std::string importer;  // orvo-import, for descriptions of other tools (may be empty)
    std::vector<std::string> cxxflags, libs, ldflags;
};

// Reads KEY = VALUE lines ('#' comments); `cxx` and `python` given without a
// folder are looked up on PATH. False with `error` set on a missing file or
// key, an unknown key or a line that is not KEY = VALUE.
bool ReadBuildConfig(const std::string& path, BuildConfig& config, std::string& error);
// build.conf of the orvo running this code: P/lib/orvo/build.conf beside an
// installed P/bin/orvo, else the build tree's lib/orvo/build.conf.
std::string DefaultBuildConfigPath();

// The name a description declares in its first statement `model NAME;`, or
// empty with `error` set (as FILE:LINE:COL: message). `where`, when given,
// receives the name's FILE:LINE:COL: prefix, and `read` the file's content.
std::string DeclaredModelName(const std::string& descriptionPath, std::string& error,
                              std::string* where = nullptr, std::string* read = nullptr);

struct BuildResult {
    bool ok = false;
    std::string library;  // the library written, when ok
    std::string error;    // what went wrong, when not ok
};

// Translates a GNU MCSim model file into a description written to
// `descriptionPath` with the importer; false with `error` set (the
// importer's own FILE:LINE:COL messages).
bool ImportMcsimModel(const std::string& mcsimPath, const std::string& descriptionPath, const BuildConfig& config,
                      std::string& error, std::string* log = nullptr);

// Builds OUT_DIR/liborvo_NAME.so from the description; the library appears
// whole or not at all, and a failed build leaves no stale library behind.
// SIGINT, SIGTERM or SIGHUP during the build stops the command it is running
// and removes its scratch files; the process then ends by that signal (as
// during ImportMcsimModel).
// `log` receives the commands run, one per line, when non-null.
BuildResult BuildModelLibrary(const std::string& descriptionPath, const std::string& outDir,
                              const BuildConfig& config, std::string* log = nullptr);
