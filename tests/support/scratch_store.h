#pragma once

#include <string>

// Gives each test a registry of its own: off Windows a fresh stand-in store in a temporary configuration
// folder; on Windows a fresh key that stands in for HKEY_CURRENT_USER in this process while the store lives,
// so that no test reaches the settings of the user who runs it. Declare it before anything that opens keys.
class ScratchStore {
  public:
    ScratchStore();
    ~ScratchStore();
    ScratchStore(const ScratchStore&) = delete;
    ScratchStore& operator=(const ScratchStore&) = delete;

    // The folder the stand-in keeps its store in; empty on Windows.
    const std::string& home() const { return home_; }

  private:
    std::string home_;
};
