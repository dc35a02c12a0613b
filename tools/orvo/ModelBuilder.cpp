#include "ModelBuilder.h"

#include "AtomicFile.h"
#include "StopSignals.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

extern char** environ;

namespace fs = std::filesystem;

namespace {

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

std::string Resolve(const fs::path& base, const std::string& value) {
    if (value.empty() || value[0] == '/') return value;
    return (base / value).lexically_normal().string();
}

bool Executable(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

// A file name as a program's argument: one starting with '-' would be read as an option.
std::string AsArgument(const std::string& path) { return !path.empty() && path[0] == '-' ? "./" + path : path; }

// A program named without a folder is looked up on PATH, as a shell would;
// the name itself when it is not found there.
std::string OnPath(const std::string& program) {
    if (program.empty() || program.find('/') != std::string::npos) return program;
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const std::string candidate = (folder.empty() ? std::string(".") : folder) + "/" + program;
        if (Executable(candidate) && !fs::is_directory(candidate)) return candidate;
    }
    return program;
}

// The signal that asked this build to stop (SIGINT, SIGTERM, SIGHUP), 0 while none has.
volatile sig_atomic_t interruptedBy = 0;

void NoteInterrupt(int signal) { interruptedBy = signal; }

// While a build runs, SIGINT, SIGTERM and SIGHUP are noted instead of ending
// the process at once, so that the command being run is stopped and the
// scratch folder removed; on leaving (after the objects declared later have
// gone) the dispositions are restored and the signal raised again, so the
// process ends as that signal asked.
class InterruptGuard {
public:
    InterruptGuard() {
        interruptedBy = 0;
        handler_.emplace(NoteInterrupt, 0);  // no SA_RESTART: waitpid returns on the signal
    }
    ~InterruptGuard() {
        handler_.reset();
        if (const int signal = interruptedBy) raise(signal);
    }

private:
    std::optional<StopSignalHandler> handler_;
};

const char* const kInterrupted = "interrupted";

// The folder scratch files go to: TMPDIR when set, else /tmp.
std::string ScratchFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = tmp && *tmp ? tmp : "/tmp";
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
}

// A build's scratch folder is named orvo-build-HOST-PID-XXXXXX, so that a
// later build on this host can remove the folders of builds killed outright
// (SIGKILL, the out-of-memory killer): this user's, their process gone.
std::string ScratchPrefix(pid_t pid) {
    char host[256] = "";
    if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
    host[sizeof host - 1] = '\0';
    std::string name = host;
    std::replace(name.begin(), name.end(), '/', '_');
    return "orvo-build-" + name + "-" + std::to_string(pid) + "-";
}

void RemoveAbandonedScratch(const std::string& folder) {
    const std::string ours = ScratchPrefix(0);
    const std::string prefix = ours.substr(0, ours.size() - 2);  // "orvo-build-HOST-"
    std::error_code ec;
    for (fs::directory_iterator entry(folder, ec), end; !ec && entry != end; entry.increment(ec)) {
        struct stat info {};
        if (!LeftByEndedProcess(entry->path().filename().string(), prefix, '-') ||
            lstat(entry->path().c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != geteuid())
            continue;
        std::error_code ignored;
        fs::remove_all(entry->path(), ignored);
    }
}

// Runs the command and waits; its standard output and error go to `output`.
// -1 when it could not be started. A noted interrupt is passed on to it.
int Run(const std::vector<std::string>& command, std::string& output, std::string* log) {
    if (log) {
        for (std::size_t i = 0; i < command.size(); ++i) *log += (i ? " " : "") + command[i];
        *log += "\n";
    }
    std::string captured = ScratchFolder() + "/orvo-build-XXXXXX";
    const int fd = mkstemp(captured.data());
    if (fd < 0) return -1;
    unlink(captured.c_str());
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fd, STDERR_FILENO);
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    // A process group of its own, so that an interrupt passed on reaches
    // what it starts in turn (the compiler driver's cc1plus and as).
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (spawned == 0) {
        for (bool passedOn = false;;) {
            if (interruptedBy != 0 && !passedOn) {
                kill(-pid, interruptedBy);
                passedOn = true;
            }
            if (waitpid(pid, &status, 0) >= 0 || errno != EINTR) break;
        }
    }
    lseek(fd, 0, SEEK_SET);
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) output.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    if (spawned != 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The Debian package that provides a missing tool.
std::string PackageOf(const std::string& tool) {
    const std::string name = fs::path(tool).filename().string();
    if (name.find("python") != std::string::npos) return "python3";
    if (name.find("clang") != std::string::npos) return "clang";
    return "g++";
}

// Skips blanks and the description language's comments.
std::size_t SkipBlank(const std::string& text, std::size_t at) {
    while (at < text.size()) {
        if (std::isspace(static_cast<unsigned char>(text[at]))) {
            ++at;
        } else if (text[at] == '#' || text.compare(at, 2, "//") == 0) {
            at = text.find('\n', at);
            if (at == std::string::npos) return text.size();
        } else if (text.compare(at, 2, "/*") == 0) {
            at = text.find("*/", at + 2);
            if (at == std::string::npos) return text.size();
            at += 2;
        } else {
            break;
        }
    }
    return at;
}

std::string Where(const std::string& path, const std::string& text, std::size_t at) {
    std::size_t line = 1, column = 1;
    for (std::size_t i = 0; i < at && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return path + ":" + std::to_string(line) + ":" + std::to_string(column) + ": ";
}

}  // namespace

bool ReadBuildConfig(const std::string& path, BuildConfig& config, std::string& error) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        error = "cannot read the build settings '" + path + "': it is a folder";
        return false;
    }
    std::ifstream in(path);
    if (!in) {
        error = "cannot read the build settings '" + path + "' (is orvo installed completely?)";
        return false;
    }
    static const char* const kKeys[] = {"cxx",     "cxxflags",   "include",  "generator", "python", "runtime",
                                        "odepack", "export_map", "importer", "libs",      "ldflags"};
    std::map<std::string, std::string> values;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        // '#' starts a comment at the start of a line or after a blank; inside
        // a word it is part of a path.
        for (std::size_t hash = line.find('#'); hash != std::string::npos; hash = line.find('#', hash + 1)) {
            if (hash == 0 || line[hash - 1] == ' ' || line[hash - 1] == '\t') {
                line.erase(hash);
                break;
            }
        }
        line = Trim(line);
        if (line.empty()) continue;
        const auto equals = line.find('=');
        const std::string key = equals == std::string::npos ? std::string() : Trim(line.substr(0, equals));
        const std::string where = path + ":" + std::to_string(number) + ": ";
        if (key.empty()) {
            error = where + "expected KEY = VALUE in the build settings";
            return false;
        }
        if (std::find_if(std::begin(kKeys), std::end(kKeys), [&](const char* known) { return key == known; }) ==
            std::end(kKeys)) {
            std::string known;
            for (const char* name : kKeys) known += (known.empty() ? "" : ", ") + std::string(name);
            error = where + "unknown build setting '" + key + "' (known: " + known + ")";
            return false;
        }
        values[key] = Trim(line.substr(equals + 1));
    }
    const fs::path base = fs::path(path).parent_path();
    for (const char* key : {"cxx", "python", "generator", "include", "runtime", "odepack", "export_map"}) {
        if (values[key].empty()) {
            error = "the build settings '" + path + "' lack '" + key + "'";
            return false;
        }
    }
    config.cxx = OnPath(values["cxx"]);
    config.python = OnPath(values["python"]);
    config.generator = Resolve(base, values["generator"]);
    config.include = Resolve(base, values["include"]);
    config.runtime = Resolve(base, values["runtime"]);
    config.odepack = Resolve(base, values["odepack"]);
    config.exportMap = Resolve(base, values["export_map"]);
    config.cxxflags = Words(values["cxxflags"]);
    config.libs = Words(values["libs"]);
    config.ldflags = Words(values["ldflags"]);
    if (!values["importer"].empty()) config.importer = Resolve(base, values["importer"]);
    return true;
}

std::string DefaultBuildConfigPath() {
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    const fs::path exe = length > 0 ? fs::path(std::string(buffer, static_cast<std::size_t>(length))) : fs::path("orvo");
    return (exe.parent_path() / ".." / "lib" / "orvo" / "build.conf").lexically_normal().string();
}

std::string DeclaredModelName(const std::string& path, std::string& error, std::string* where, std::string* read) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        error = path + ":1:1: cannot read the description: it is a folder";
        return {};
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ":1:1: cannot read the description: " + std::strerror(errno);
        return {};
    }
    std::ostringstream content;
    content << in.rdbuf();
    std::string text = content.str();
    if (read) *read = text;
    if (text.compare(0, 2, "\xFF\xFE") == 0 || text.compare(0, 2, "\xFE\xFF") == 0) {
        error = path + ":1:1: cannot read the description: it is UTF-16 text; save it as UTF-8";
        return {};
    }
    // A UTF-8 byte-order mark is skipped, as the generator skips it.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    std::size_t at = SkipBlank(text, 0);
    // The keyword ends where a name could not go on (a blank, a comment, ';').
    if (text.compare(at, 5, "model") != 0 ||
        (at + 5 < text.size() && (std::isalnum(static_cast<unsigned char>(text[at + 5])) || text[at + 5] == '_'))) {
        error = Where(path, text, at) + "a description starts with 'model NAME;'";
        return {};
    }
    at = SkipBlank(text, at + 5);
    const std::size_t start = at;
    while (at < text.size() && (std::islower(static_cast<unsigned char>(text[at])) ||
                                std::isdigit(static_cast<unsigned char>(text[at])) || text[at] == '_'))
        ++at;
    const std::string name = text.substr(start, at - start);
    if (name.empty() || !std::islower(static_cast<unsigned char>(name[0]))) {
        error = Where(path, text, start) + "expected the model's name (lower-case letters, digits, '_')";
        return {};
    }
    if (where) *where = Where(path, text, start);
    return name;
}

bool ImportMcsimModel(const std::string& mcsimPath, const std::string& descriptionPath, const BuildConfig& config,
                      std::string& error, std::string* log) {
    if (config.importer.empty() || access(config.importer.c_str(), R_OK) != 0) {
        error = "the importer is not installed beside this orvo ('" + config.importer + "')";
        return false;
    }
    const InterruptGuard interrupts;
    std::string output;
    const int status = Run({config.python, config.importer, "mcsim", AsArgument(mcsimPath), "--out", AsArgument(descriptionPath)},
                           output, log);
    if (interruptedBy != 0) {
        error = kInterrupted;
        return false;
    }
    if (status != 0) {
        error = status < 0 ? "cannot run the importer '" + config.importer + "'" : Trim(output);
        return false;
    }
    return true;
}

BuildResult BuildModelLibrary(const std::string& descriptionPath, const std::string& outDir,
                              const BuildConfig& config, std::string* log) {
    const InterruptGuard interrupts;  // ends the process, if asked to, after the cleanup below
    BuildResult result;
    // A noted interrupt ends the build where it is checked; the scratch folder goes on the way out.
    const auto interrupted = [&result] {
        if (interruptedBy != 0) result.error = kInterrupted;
        return interruptedBy != 0;
    };
    std::string nameAt, description;
    const std::string name = DeclaredModelName(descriptionPath, result.error, &nameAt, &description);
    if (name.empty()) return result;
    for (const auto& [tool, package] : {std::pair{config.python, std::string("python3")},
                                        std::pair{config.cxx, PackageOf(config.cxx)}}) {
        if (!Executable(tool) || fs::is_directory(tool)) {
            result.error = "'" + tool + "' is missing: install Debian's " + package + " package (apt install " +
                           package + ")";
            return result;
        }
    }
    std::error_code ec;
    fs::create_directories(outDir, ec);
    if (ec || !fs::is_directory(outDir)) {
        result.error = "cannot create the folder '" + outDir + "' for the library: " +
                       (ec ? ec.message() : std::string("a file of that name is in the way"));
        return result;
    }
    // Known before compiling, which takes minutes for a large model.
    if (access(outDir.c_str(), W_OK | X_OK) != 0) {
        std::string folder = fs::absolute(outDir, ec).lexically_normal().string();
        if (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        result.error = "cannot write into '" + folder + "': " + std::strerror(errno) +
                       " (give --out a folder you can write to)";
        return result;
    }
    const fs::path library = fs::path(outDir) / ("liborvo_" + name + ".so");
    const fs::path beside = fs::path(outDir) / ("liborvo_" + name + ".json");  // its metadata
    // A failed build must not leave an earlier library that looks current.
    fs::remove(library, ec);
    fs::remove(beside, ec);

    const std::string scratchFolder = ScratchFolder();
    RemoveAbandonedScratch(scratchFolder);
    std::string scratch = scratchFolder + "/" + ScratchPrefix(getpid()) + "XXXXXX";
    if (!mkdtemp(scratch.data())) {
        result.error = "cannot create a scratch folder in '" + scratchFolder + "' (TMPDIR): " + std::strerror(errno);
        return result;
    }
    struct Cleanup {
        std::string dir;
        ~Cleanup() {
            std::error_code ignored;
            fs::remove_all(dir, ignored);
        }
    } cleanup{scratch};
    const fs::path generated = fs::path(scratch) / "generated";

    // A pipe (/dev/stdin, a shell's <(...)) cannot be read again: the
    // generator reads a copy of what was read above, under the same name.
    std::string generatorInput = AsArgument(descriptionPath);
    if (!fs::is_regular_file(descriptionPath, ec)) {
        const fs::path copy = fs::path(scratch) / "description" / fs::path(descriptionPath).filename();
        fs::create_directories(copy.parent_path(), ec);
        std::ofstream out(copy, std::ios::binary);
        out << description;
        out.close();
        if (!out) {
            result.error = "cannot copy the description into the scratch folder " + std::string(scratch);
            return result;
        }
        generatorInput = copy.string();
    }
    std::string output;
    int status = Run({config.python, config.generator, generatorInput, "--name", name, "--out", generated.string()},
                     output, log);
    if (interrupted()) return result;
    if (status != 0) {
        // The generator's own file:line:col messages, of the file as the user named it.
        if (generatorInput != descriptionPath) {
            for (std::size_t at = output.find(generatorInput); at != std::string::npos;
                 at = output.find(generatorInput, at + descriptionPath.size()))
                output.replace(at, generatorInput.size(), descriptionPath);
        }
        result.error = status < 0 ? "cannot run the generator '" + config.generator + "'" : Trim(output);
        return result;
    }
    std::vector<std::string> objects;
    for (const auto& entry : fs::recursive_directory_iterator(generated)) {
        if (entry.path().extension() != ".cpp") continue;
        const std::string object = (fs::path(scratch) / entry.path().filename()).replace_extension(".o").string();
        std::vector<std::string> compile{config.cxx};
        compile.insert(compile.end(), config.cxxflags.begin(), config.cxxflags.end());
        compile.insert(compile.end(), {"-I", generated.string(), "-I", config.include, "-c", entry.path().string(),
                                       "-o", object});
        output.clear();
        status = Run(compile, output, log);
        if (interrupted()) return result;
        if (status != 0) {
            // The model's name is the generated code's namespace, which cannot
            // share a name with what the C library declares (time, signal, gamma).
            if (output.find("namespace " + name + " {") != std::string::npos &&
                output.find("redeclared as different kind of entity") != std::string::npos) {
                result.error = nameAt + "the model's name '" + name +
                               "' is also a name of the C library, which the generated C++ includes: choose another";
                return result;
            }
            result.error = "compiling the generated " + entry.path().filename().string() + " failed:\n" + Trim(output);
            return result;
        }
        objects.push_back(object);
    }
    const std::string partial = (fs::path(scratch) / library.filename()).string();
    std::vector<std::string> link{config.cxx, "-shared", "-o", partial};
    link.insert(link.end(), config.ldflags.begin(), config.ldflags.end());
    link.insert(link.end(), objects.begin(), objects.end());
    link.insert(link.end(), {"-Wl,--whole-archive", config.runtime, "-Wl,--no-whole-archive", config.odepack});
    link.insert(link.end(), config.libs.begin(), config.libs.end());
    // -Xlinker passes the path whole: -Wl, would split it at commas.
    link.insert(link.end(), {"-Xlinker", "--version-script=" + config.exportMap, "-Wl,--no-undefined"});
    output.clear();
    status = Run(link, output, log);
    if (interrupted()) return result;
    if (status != 0) {
        result.error = "linking " + library.filename().string() + " failed:\n" + Trim(output);
        return result;
    }
    // The library and its metadata are put in place together, one build at a
    // time per folder, so that builds of one model name do not pair one's
    // library with the other's metadata.
    FolderLock lock;
    std::string ignored;
    while (!lock.Acquire(outDir, ignored, true) && interruptedBy == 0) {
    }
    // Across file systems a rename fails: each file is copied beside its
    // target, then renamed; the metadata first, so that a library in place
    // always has its own beside it.
    std::vector<std::pair<fs::path, fs::path>> files;  // {built, target}
    if (const fs::path metadata = generated / "model" / (name + ".json"); fs::exists(metadata))
        files.emplace_back(metadata, beside);
    files.emplace_back(partial, library);
    const std::string suffix = ".tmp." + std::to_string(getpid());
    const auto unstage = [&] {
        std::error_code removal;
        for (const auto& file : files) fs::remove(file.second.string() + suffix, removal);
    };
    const auto failed = [&](const fs::path& target) {
        result.error = "cannot write '" + target.string() + "': " + ec.message();
        unstage();
        return result;
    };
    for (const auto& [built, target] : files)
        if (fs::copy_file(built, target.string() + suffix, fs::copy_options::overwrite_existing, ec); ec)
            return failed(target);
    if (interrupted()) {
        unstage();
        return result;
    }
    for (const auto& [built, target] : files)
        if (fs::rename(target.string() + suffix, target, ec); ec) return failed(target);
    result.ok = true;
    result.library = library.string();
    return result;
}
