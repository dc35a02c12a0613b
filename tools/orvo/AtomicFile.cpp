#include "AtomicFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <csignal>
#include <unistd.h>

namespace {

// Temporary files of writers of `path` that were killed before their rename.
void RemoveStaleTemporaries(const std::string& path) {
    const std::filesystem::path target(path);
    const std::filesystem::path folder = target.has_parent_path() ? target.parent_path() : ".";
    const std::string prefix = target.filename().string() + ".tmp.";
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) != 0) continue;
        const std::string pid = name.substr(prefix.size());
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
        // A writer still alive is left alone.
        if (kill(static_cast<pid_t>(std::stol(pid)), 0) == 0 || errno != ESRCH) continue;
        std::filesystem::remove(entry.path(), ec);
    }
}

}  // namespace

AtomicFileWriter::~AtomicFileWriter() {
    if (temporary_.empty()) return;
    out_.close();
    std::remove(temporary_.c_str());
}

bool AtomicFileWriter::Open(const std::string& path, std::string& error) {
    RemoveStaleTemporaries(path);
    path_ = path;
    temporary_ = path + ".tmp." + std::to_string(getpid());
    buffer_.resize(std::size_t{1} << 16);
    out_.rdbuf()->pubsetbuf(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
    out_.open(temporary_, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!out_) {
        error = "cannot write '" + temporary_ + "': " + std::strerror(errno);
        temporary_.clear();
        return false;
    }
    return true;
}

bool AtomicFileWriter::Commit(std::string& error) {
    if (temporary_.empty()) {
        error = "'" + path_ + "' is not open for writing";
        return false;
    }
    out_.flush();
    const bool good = out_.good();
    out_.close();
    if (!good || out_.fail()) {
        error = "writing '" + temporary_ + "' failed";
        std::remove(temporary_.c_str());
        temporary_.clear();
        return false;
    }
    if (std::rename(temporary_.c_str(), path_.c_str()) != 0) {
        error = "cannot rename '" + temporary_ + "' to '" + path_ + "': " + std::strerror(errno);
        std::remove(temporary_.c_str());
        temporary_.clear();
        return false;
    }
    temporary_.clear();
    return true;
}

bool WriteFileAtomically(const std::string& path, const std::function<void(std::ostream&)>& write, std::string& error) {
    AtomicFileWriter file;
    if (!file.Open(path, error)) return false;
    write(file.stream());
    return file.Commit(error);
}

bool EnsureDirectory(const std::string& path, std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec || !std::filesystem::is_directory(path)) {
        error = "cannot create directory '" + path + "'" + (ec ? ": " + ec.message() : "");
        return false;
    }
    return true;
}
