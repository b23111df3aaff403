// Progress of the publisher's long work, shown on a terminal only: what is
// done of how much, the bytes, the time taken and the time still to go.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

class Progress {
  public:
    // what names the work ("files scanned", "patches made"); shown only when
    // standard error is a terminal.
    explicit Progress(const char* what);
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    ~Progress();

    void Start(uint64_t items, uint64_t bytes);
    // One more item done, of bytes; safe from any thread.
    void Advance(uint64_t bytes);

  private:
    void Show(bool last);

    const char* what_;
    bool shown_;
    std::mutex mutex_;
    uint64_t items_ = 0, bytes_ = 0, doneItems_ = 0, doneBytes_ = 0;
    std::chrono::steady_clock::time_point start_, lastShown_;
};
