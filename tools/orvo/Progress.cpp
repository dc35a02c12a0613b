#include "Progress.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

std::string Duration(double seconds) {
    const long s = std::lround(seconds);
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%ldh%02ldm", s / 3600, s / 60 % 60);
    else if (s >= 60)
        std::snprintf(text, sizeof text, "%ldm%02lds", s / 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%lds", s);
    return text;
}

}  // namespace

ProgressLine::ProgressLine(std::size_t total, unsigned workers, bool enabled)
    : total_(total),
      workers_(workers),
      enabled_(enabled),
      terminal_(isatty(STDERR_FILENO) != 0),
      start_(Clock::now()),
      lastShown_(start_) {}

bool ProgressLine::Wanted(bool requested) { return requested || isatty(STDERR_FILENO) != 0; }

void ProgressLine::Update(std::size_t done) {
    if (!enabled_) return;
    const Clock::time_point now = Clock::now();
    if (now - lastShown_ < (terminal_ ? std::chrono::milliseconds(200) : std::chrono::seconds(1))) return;
    lastShown_ = now;
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    const double rate = elapsed > 0.0 ? static_cast<double>(done) / elapsed : 0.0;
    const std::string left = rate > 0.0 ? Duration(static_cast<double>(total_ - done) / rate) : "?";
    std::fprintf(stderr, "%sorvo: %zu/%zu runs, %.1f runs/s, %s left%s", terminal_ ? "\r" : "", done, total_, rate,
                 left.c_str(), terminal_ ? "\033[K" : "\n");
    std::fflush(stderr);
}

void ProgressLine::Finish(std::size_t done) {
    if (!enabled_) return;
    const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
    std::fprintf(stderr, "%sorvo: %zu runs in %.2f s, %.1f runs/s (%u worker%s)%s\n", terminal_ ? "\r" : "", done,
                 elapsed, elapsed > 0.0 ? static_cast<double>(done) / elapsed : 0.0, workers_, workers_ == 1 ? "" : "s",
                 terminal_ ? "\033[K" : "");
}
