#include "tools/publish/publish_progress.h"

#include <cstdio>

#include "tools/publish/publish_platform.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto SHOW_EVERY = std::chrono::milliseconds(250);

std::string Duration(double seconds) {
    char text[32] = {};
    long whole = static_cast<long>(seconds + 0.5);
    snprintf(text, sizeof(text), "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

}  // namespace

Progress::Progress(const char* what) : what_(what), shown_(ErrorIsTerminal()) {}

Progress::~Progress() {
    if (shown_ && items_ > 0) Show(true);
}

void Progress::Start(uint64_t items, uint64_t bytes) {
    std::lock_guard<std::mutex> hold(mutex_);
    items_ = items;
    bytes_ = bytes;
    doneItems_ = doneBytes_ = 0;
    start_ = lastShown_ = Clock::now();
}

void Progress::Advance(uint64_t bytes) {
    if (!shown_) return;
    std::lock_guard<std::mutex> hold(mutex_);
    ++doneItems_;
    doneBytes_ += bytes;
    if (Clock::now() - lastShown_ >= SHOW_EVERY) Show(false);
}

void Progress::Show(bool last) {
    lastShown_ = Clock::now();
    double elapsed = std::chrono::duration<double>(lastShown_ - start_).count();
    // Time to go from the bytes done, which tracks the work better than the count.
    double share = bytes_ > 0 ? static_cast<double>(doneBytes_) / static_cast<double>(bytes_)
                              : static_cast<double>(doneItems_) / static_cast<double>(items_);
    std::string remaining = share > 0 ? Duration(elapsed / share - elapsed) : "?";
    char line[192] = {};
    char bytes[64] = {};
    if (bytes_ > 0) {
        snprintf(bytes, sizeof(bytes), ", %llu of %llu MB",
                 static_cast<unsigned long long>(doneBytes_ >> 20),
                 static_cast<unsigned long long>(bytes_ >> 20));
    }
    snprintf(line, sizeof(line), "\r%s: %llu of %llu%s, %s taken, %s to go   %s", what_,
             static_cast<unsigned long long>(doneItems_), static_cast<unsigned long long>(items_),
             bytes, Duration(elapsed).c_str(), last ? "0:00" : remaining.c_str(), last ? "\n" : "");
    WriteText(true, line);
}
