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

bool WriteFileAtomically(const std::string& path, const std::function<void(std::ostream&)>& write, std::string& error) {
    RemoveStaleTemporaries(path);
    const std::string temporary = path + ".tmp." + std::to_string(getpid());
    {
        std::ofstream out(temporary, std::ios::out | std::ios::trunc | std::ios::binary);
        if (!out) {
            error = "cannot write '" + temporary + "': " + std::strerror(errno);
            return false;
        }
        write(out);
        out.flush();
        if (!out.good()) {
            error = "writing '" + temporary + "' failed";
            out.close();
            std::remove(temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot rename '" + temporary + "' to '" + path + "': " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
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
