// Unloading the shared library while a background run goes on: the run ends
// and no host callback is called once the unload has begun.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "ModelLibrary.h"

namespace {

using namespace std::chrono_literals;

std::atomic<int> ticks{0};
std::atomic<int> lateCalls{0};
std::atomic<bool> gateArmed{false};
std::atomic<bool> gatePassed{false};
std::mutex gateMutex;
std::condition_variable gateChanged;
bool gateHeld = false;
bool gateOpen = false;

void NoteCall() {
    if (gatePassed) ++lateCalls;
}

// Holds the run thread inside one tick callback until the gate opens.
void OnTick(uint32_t, uint32_t, OrvoTickType) {
    NoteCall();
    ++ticks;
    if (!gateArmed.exchange(false)) return;
    std::unique_lock<std::mutex> lock(gateMutex);
    gateHeld = true;
    gateChanged.notify_all();
    gateChanged.wait_for(lock, 20s, [] { return gateOpen; });
    gatePassed = true;
}

void OnState(uint32_t, uint32_t, OrvoExecutionState, OrvoExecutionState) { NoteCall(); }
void OnStatus(uint32_t, uint32_t, const char*) { NoteCall(); }

template <typename Function>
Function Resolve(void* library, const char* name) {
    return reinterpret_cast<Function>(dlsym(library, name));
}

TEST(LibraryUnload, EndsABackgroundRunWithoutCallingTheHost) {
    // A private copy, so that this handle is the library's only reference.
    const std::filesystem::path copy = std::filesystem::temp_directory_path() /
                                       ("orvo_unload_" + std::to_string(getpid()) + ".so");
    std::filesystem::copy_file(ModelLibrary::Get().Path(), copy,
                               std::filesystem::copy_options::overwrite_existing);
    void* library = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();

    Resolve<decltype(&OrvoInitialize)>(library, "OrvoInitialize")();
    const uint32_t instance = Resolve<decltype(&OrvoCreate)>(library, "OrvoCreate")();
    ASSERT_NE(instance, 0u);
    auto index = Resolve<decltype(&OrvoGetSymbolIndex)>(library, "OrvoGetSymbolIndex");
    auto setDouble = Resolve<decltype(&OrvoSetDouble)>(library, "OrvoSetDouble");
    setDouble(instance, index("cint"), 0.01);
    setDouble(instance, index("tstop"), 1e6);
    Resolve<decltype(&OrvoAddTickCallbackFunction)>(library, "OrvoAddTickCallbackFunction")(
        instance, 1, &OnTick);
    Resolve<decltype(&OrvoAddExecutionStateChangeCallbackFunction)>(
        library, "OrvoAddExecutionStateChangeCallbackFunction")(instance, 2, &OnState);
    Resolve<decltype(&OrvoAddStatusCallback)>(library, "OrvoAddStatusCallback")(instance, 3,
                                                                               &OnStatus);
    Resolve<decltype(&OrvoStart)>(library, "OrvoStart")(instance);

    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (ticks < 3 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_GE(ticks.load(), 3);
    gateArmed = true;
    {
        std::unique_lock<std::mutex> lock(gateMutex);
        ASSERT_TRUE(gateChanged.wait_for(lock, 20s, [] { return gateHeld; }));
    }
    // The run is held in a callback while the unload begins; once released
    // it must end without calling the host again.
    std::thread opener([] {
        std::this_thread::sleep_for(300ms);
        std::lock_guard<std::mutex> lock(gateMutex);
        gateOpen = true;
        gateChanged.notify_all();
    });
    EXPECT_EQ(dlclose(library), 0);
    opener.join();

    EXPECT_TRUE(gatePassed);
    EXPECT_EQ(lateCalls.load(), 0);
    EXPECT_EQ(dlopen(copy.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "still loaded";
    std::filesystem::remove(copy);
}

}  // namespace
