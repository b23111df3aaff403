// One run at a time per product folder: two updaters on one folder would
// check, fetch and swap the same files at once.
#pragma once

#include <string>

#include "support/unique_handle.h"

// Held from construction, which waits for any other run on the folder, to
// destruction. A run whose process ended, however it ended, has let go: the
// system hands its abandoned lock on.
class RunLock {
  public:
    explicit RunLock(const std::wstring& productFolder);
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;
    ~RunLock();

    // False only when no lock could be made at all; the run then goes on alone.
    bool held() const { return held_; }

  private:
    UniqueHandle mutex_;
    bool held_ = false;
};

// The lock's name for a folder: one name for every spelling of the folder
// (letter case, separators, short names), in the namespace every session sees.
std::wstring RunLockName(const std::wstring& productFolder);
