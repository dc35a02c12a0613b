#include "RunRecord.h"

namespace {
const char* const kStatusNames[] = {"ok", "error", "nonfinite", "stopped"};
}

const char* RunStatusName(RunStatus status) {
    const auto code = static_cast<uint32_t>(status);
    return code < 4 ? kStatusNames[code] : "error";
}

bool ParseRunStatus(std::string_view text, RunStatus& status) {
    for (uint32_t code = 0; code < 4; ++code)
        if (text == kStatusNames[code]) {
            status = static_cast<RunStatus>(code);
            return true;
        }
    return false;
}
