#include "ModelLibrary.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "model library: %s\n", what.c_str());
    std::exit(2);
}

}  // namespace

ModelLibrary& ModelLibrary::Get() {
    static ModelLibrary library;
    return library;
}

ModelLibrary::ModelLibrary() {
    const char* fromEnvironment = std::getenv("ORVO_LIBRARY");
    path_ = fromEnvironment && *fromEnvironment ? fromEnvironment : ORVO_LIBRARY_PATH;
    handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) Fail("cannot load " + path_ + ": " + dlerror());
#define ORVO_E2E_RESOLVE(name)                                                  \
    name = reinterpret_cast<decltype(name)>(dlsym(handle_, #name));             \
    if (name == nullptr) Fail(path_ + " does not export " #name);
    ORVO_E2E_EXPORTS(ORVO_E2E_RESOLVE)
#undef ORVO_E2E_RESOLVE
    // Never unloaded: the run threads and static objects of the library live
    // until the process ends.
}

uint32_t ModelLibrary::Index(const char* name) const {
    const uint32_t index = OrvoGetSymbolIndex(name);
    if (index == 0) Fail(std::string("the model has no variable ") + name);
    return index;
}
