#include "AtomicFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <unistd.h>

bool WriteFileAtomically(const std::string& path, const std::function<void(std::ostream&)>& write, std::string& error) {
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
