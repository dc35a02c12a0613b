#pragma once

// Writes a file whole or not at all: the content goes to a temporary file
// beside it, which is renamed over the target only when complete, so a
// killed process leaves no partial table or part file.

#include <fstream>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class StopSignalHandler;

// The same for content written over a long time: Open creates the
// temporary file (removing those of earlier writers of the path that were
// killed), Commit renames it over the target; a file never committed is
// removed when the object goes. A path that is a link is written through to
// the file it names; a device or pipe (/dev/stdout) is written directly.
// A folder is refused.
class AtomicFileWriter {
public:
    AtomicFileWriter() = default;
    ~AtomicFileWriter();
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

    bool Open(const std::string& path, std::string& error);
    std::ostream& stream() { return out_; }
    // The temporary file being written until Commit; empty when the target
    // is written directly (a device or pipe) or nothing is open.
    std::string TemporaryPath() const { return direct_ ? std::string() : temporary_; }
    // False with `error` set when a write failed; the target is then untouched.
    bool Commit(std::string& error);
    // Writes out what is buffered: false with `error` set when a write failed,
    // so that files that go together are all complete before any is renamed.
    bool Flush(std::string& error);

private:
    std::string path_, target_, temporary_;
    bool direct_ = false;  // not through a temporary file
    std::ofstream out_;
    std::vector<char> buffer_;
    int slot_ = -1;  // where RemoveTemporariesOnSignal finds the temporary file
};

// While it lives, SIGINT, SIGTERM or SIGHUP removes the temporary files of
// the AtomicFileWriters open in this process and then ends it by that
// signal, so that an interrupted command leaves no temporary table behind.
// Forked workers, which inherit the handler, leave the files to their
// parent. A signal the caller ignores stays ignored.
class RemoveTemporariesOnSignal {
public:
    RemoveTemporariesOnSignal();
    ~RemoveTemporariesOnSignal();
    RemoveTemporariesOnSignal(const RemoveTemporariesOnSignal&) = delete;
    RemoveTemporariesOnSignal& operator=(const RemoveTemporariesOnSignal&) = delete;

private:
    std::unique_ptr<StopSignalHandler> handler_;
};

// False with `error` set when the file cannot be written; the target is then
// untouched.
bool WriteFileAtomically(const std::string& path, const std::function<void(std::ostream&)>& write, std::string& error);

// Held while a command writes its tables into a folder (runs.csv with
// summary.csv, sobol.csv or local.csv): a second command writing the same
// folder at the same time is refused, instead of leaving one's runs.csv
// beside the other's summary. Shards write only their own part and take
// none. Where the file system cannot lock a folder, none is held.
class FolderLock {
public:
    FolderLock() = default;
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    // False with `error` set when another process holds the folder; with
    // `wait`, waits for it instead, false only when a signal ends the wait.
    bool Acquire(const std::string& directory, std::string& error, bool wait = false);

private:
    int fd_ = -1;
};

// False with `error` set when `path` is a folder, which no file can replace.
bool CheckFileTarget(const std::string& path, std::string& error);

// Which of `files` ({path, what it is}) writing `path` would replace: its
// `what`, or "" when none. A file that does not exist yet (a table still to
// be written) counts by its path.
std::string FileItWouldReplace(const std::string& path, const std::vector<std::pair<std::string, std::string>>& files);

// True when `name` is `prefix`, a process id, then the end of the name or
// `separator` and more, and that process has ended: what a writer killed
// before it could clean up left behind.
bool LeftByEndedProcess(std::string_view name, std::string_view prefix, char separator = '\0');

// Creates the directory (and its parents) when missing.
bool EnsureDirectory(const std::string& path, std::string& error);
