#include "AtomicFile.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <atomic>
#include <fstream>
#include <csignal>
#include <climits>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "StopSignals.h"

namespace {

// "NAME.tmp.": what the temporary files of `target` are named, followed by
// a process id. A name near the file system's limit is cut so that the
// temporary name still fits.
std::string TemporaryPrefix(const std::filesystem::path& target) {
    constexpr std::size_t kNameMax = 255, kSuffix = 5 + 10;  // ".tmp." and a process id
    std::string name = target.filename().string();
    if (name.size() + kSuffix > kNameMax) name.resize(kNameMax - kSuffix);
    return name + ".tmp.";
}

// Temporary files of writers of `path` that were killed before their rename.
void RemoveStaleTemporaries(const std::string& path) {
    const std::filesystem::path target(path);
    const std::filesystem::path folder = target.has_parent_path() ? target.parent_path() : ".";
    const std::string prefix = TemporaryPrefix(target);
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        // Our own names end in a process id; anything else is not ours to
        // remove, nor is the file of a writer still alive.
        if (LeftByEndedProcess(name, prefix)) std::filesystem::remove(entry.path(), ec);
    }
}

// The temporary files being written, for the signal handler: a slot is
// filled before it is marked used and unmarked before it is reused.
struct TemporarySlot {
    volatile sig_atomic_t used = 0;
    char path[PATH_MAX + 64] = {};
};
TemporarySlot temporarySlots[8];
volatile sig_atomic_t temporaryOwner = 0;  // the process that installed the handler

int TakeTemporarySlot(const std::string& path) {
    if (path.size() >= sizeof temporarySlots[0].path) return -1;
    for (int k = 0; k < static_cast<int>(std::size(temporarySlots)); ++k)
        if (!temporarySlots[k].used) {
            std::memcpy(temporarySlots[k].path, path.c_str(), path.size() + 1);
            std::atomic_signal_fence(std::memory_order_seq_cst);
            temporarySlots[k].used = 1;
            return k;
        }
    return -1;
}

void ReleaseTemporarySlot(int& slot) {
    if (slot >= 0) temporarySlots[slot].used = 0;
    slot = -1;
}

void RemoveTemporariesAndRaise(int signal) {
    if (getpid() == temporaryOwner)
        for (const TemporarySlot& slot : temporarySlots)
            if (slot.used) unlink(slot.path);
    raise(signal);  // the disposition is back to the default (SA_RESETHAND)
}

}  // namespace

std::string FileItWouldReplace(const std::string& path, const std::vector<std::pair<std::string, std::string>>& files) {
    namespace fs = std::filesystem;
    const auto same = [](const fs::path& a, const fs::path& b) {
        std::error_code ec;
        if (fs::exists(a, ec) && fs::exists(b, ec)) return fs::equivalent(a, b, ec) && !ec;
        const fs::path first = fs::weakly_canonical(fs::absolute(a, ec), ec);
        if (ec) return false;
        const fs::path second = fs::weakly_canonical(fs::absolute(b, ec), ec);
        return !ec && first == second;
    };
    for (const auto& [file, what] : files)
        if (!file.empty() && same(path, file)) return what;
    return "";
}

bool LeftByEndedProcess(std::string_view name, std::string_view prefix, char separator) {
    if (name.substr(0, prefix.size()) != prefix) return false;
    const char* digits = name.data() + prefix.size();
    const char* last = name.data() + name.size();
    pid_t pid = 0;
    const auto [end, fault] = std::from_chars(digits, last, pid);
    if (end == digits || fault != std::errc() || pid <= 0) return false;
    if (separator == '\0' ? end != last : end == last || *end != separator) return false;
    return kill(pid, 0) != 0 && errno == ESRCH;
}

bool CheckFileTarget(const std::string& path, std::string& error) {
    std::error_code ec;
    if (!std::filesystem::is_directory(path, ec)) return true;
    error = "'" + path + "' is a folder, not a file";
    return false;
}

RemoveTemporariesOnSignal::RemoveTemporariesOnSignal() {
    temporaryOwner = getpid();
    handler_ = std::make_unique<StopSignalHandler>(RemoveTemporariesAndRaise, SA_RESETHAND | SA_RESTART);
}

RemoveTemporariesOnSignal::~RemoveTemporariesOnSignal() = default;

AtomicFileWriter::~AtomicFileWriter() {
    ReleaseTemporarySlot(slot_);
    if (temporary_.empty() || direct_) return;
    out_.close();
    std::remove(temporary_.c_str());
}

bool AtomicFileWriter::Open(const std::string& path, std::string& error) {
    if (!CheckFileTarget(path, error)) return false;
    path_ = path;
    // A link is written through to the file it names, and a device or pipe
    // (/dev/stdout) is written to directly: renaming over either would put a
    // plain file in its place.
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(path, ec);
    direct_ = std::filesystem::exists(status) && !std::filesystem::is_regular_file(status);
    std::string target = path;
    if (!direct_ && std::filesystem::is_symlink(std::filesystem::symlink_status(path, ec))) {
        const std::filesystem::path resolved = std::filesystem::canonical(path, ec);
        if (ec) direct_ = true;  // a link to nothing yet: the write creates its file
        else target = resolved.string();
    }
    if (!direct_) RemoveStaleTemporaries(target);
    target_ = target;
    temporary_ = direct_ ? path
                         : (std::filesystem::path(target).parent_path() / TemporaryPrefix(target)).string() +
                               std::to_string(getpid());
    buffer_.resize(std::size_t{1} << 16);
    out_.rdbuf()->pubsetbuf(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
    out_.open(temporary_, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!out_) {
        error = "cannot write '" + temporary_ + "': " + std::strerror(errno);
        temporary_.clear();
        return false;
    }
    if (!direct_) slot_ = TakeTemporarySlot(temporary_);
    return true;
}

bool AtomicFileWriter::Commit(std::string& error) {
    if (temporary_.empty()) {
        error = "'" + path_ + "' is not open for writing";
        return false;
    }
    ReleaseTemporarySlot(slot_);
    out_.flush();
    const bool good = out_.good();
    out_.close();
    if (!good || out_.fail()) {
        error = "writing '" + temporary_ + "' failed";
        if (!direct_) std::remove(temporary_.c_str());
        temporary_.clear();
        return false;
    }
    if (!direct_ && std::rename(temporary_.c_str(), target_.c_str()) != 0) {
        error = "cannot rename '" + temporary_ + "' to '" + target_ + "': " + std::strerror(errno);
        std::remove(temporary_.c_str());
        temporary_.clear();
        return false;
    }
    temporary_.clear();
    return true;
}

bool AtomicFileWriter::Flush(std::string& error) {
    out_.flush();
    if (!temporary_.empty() && out_.good()) return true;
    error = temporary_.empty() ? "'" + path_ + "' is not open for writing"
                               : "writing '" + temporary_ + "' failed (is the disk full?)";
    return false;
}

FolderLock::~FolderLock() {
    if (fd_ >= 0) close(fd_);
}

bool FolderLock::Acquire(const std::string& directory, std::string& error, bool wait) {
    if (fd_ >= 0) return true;
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return true;  // the writes say what is wrong with the folder
    if (flock(fd, wait ? LOCK_EX : LOCK_EX | LOCK_NB) == 0) {
        fd_ = fd;
        return true;
    }
    const int reason = errno;
    close(fd);
    if (wait && reason == EINTR) {
        error = "interrupted while waiting for '" + directory + "'";
        return false;
    }
    if (reason != EWOULDBLOCK) return true;
    error = "another orvo command is writing its tables into '" + directory +
            "': wait for it to end, or give this one another --out";
    return false;
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
