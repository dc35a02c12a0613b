#include "OrvoLibrary.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

OrvoLibrary::~OrvoLibrary() {
    if (handle_ != nullptr) dlclose(handle_);
}

bool OrvoLibrary::Load(const std::string& path) {
    // RTLD_NOW: a library that cannot satisfy its own references fails here,
    // not in the middle of a run.
    // A bare file name is a file here, not a name for the loader's search path.
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    handle_ = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* reason = dlerror();
        error_ = "cannot load library '" + path + "': " + (reason ? reason : "unknown error");
        return false;
    }
#define ORVO_RESOLVE_EXPORT(name)                                                     \
    name = reinterpret_cast<decltype(name)>(dlsym(handle_, #name));                   \
    if (name == nullptr) {                                                            \
        error_ = "library '" + path + "' does not export " #name;                     \
        return false;                                                                 \
    }
    ORVO_LIBRARY_EXPORTS(ORVO_RESOLVE_EXPORT)
#undef ORVO_RESOLVE_EXPORT
    return true;
}

std::string OrvoLibrary::DefaultPath() {
    const std::string libraryName = "liborvo_pregnancy.so";
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0) return libraryName;  // then the current directory
    std::string exe(buffer, static_cast<std::size_t>(length));
    const std::size_t slash = exe.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : exe.substr(0, slash);
    // The build tree keeps the libraries in lib/, an installed orvo in lib/orvo/.
    const std::string installed = dir + "/../lib/orvo/" + libraryName;
    if (access(installed.c_str(), F_OK) == 0) return installed;
    return dir + "/../lib/" + libraryName;
}
