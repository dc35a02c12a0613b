#include "RunRecord.h"

namespace {
const char* const kStatusNames[] = {"ok", "error", "nonfinite", "stopped", "timeout", "lost"};
constexpr uint32_t kStatusCount = 6;
}

const char* RunStatusName(RunStatus status) {
    const auto code = static_cast<uint32_t>(status);
    return code < kStatusCount ? kStatusNames[code] : "error";
}

bool ParseRunStatus(std::string_view text, RunStatus& status) {
    for (uint32_t code = 0; code < kStatusCount; ++code)
        if (text == kStatusNames[code]) {
            status = static_cast<RunStatus>(code);
            return true;
        }
    return false;
}
