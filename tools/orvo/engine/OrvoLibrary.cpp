#include "OrvoLibrary.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

OrvoLibrary::~OrvoLibrary() {
    if (handle_ != nullptr) dlclose(handle_);
}

bool OrvoLibrary::Load(const std::string& path) {
    if (path.empty()) {  // what DefaultPath gives an orvo without its lib/ folder
        error_ = "no model library is installed beside this orvo (lib/orvo-default-model): name one with --lib";
        return false;
    }
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
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    std::string exe(buffer, static_cast<std::size_t>(std::max<ssize_t>(length, 0)));
    const std::size_t slash = exe.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : exe.substr(0, slash);
    // The build names its default model in a file beside the libraries (the
    // build tree keeps them in lib/, an installed orvo in lib/orvo/).
    for (const std::string& folder : {dir + "/../lib/orvo/", dir + "/../lib/"}) {
        std::ifstream in(folder + "orvo-default-model");
        std::string name;
        if (in >> name) return folder + "liborvo_" + name + ".so";
    }
    return "";
}
