#pragma once

#include <string>

// Gives each test a registry of its own: off Windows a fresh stand-in store in a temporary configuration
// folder, on Windows (a throw-away Wine prefix) the test keys and the editor's key removed before and after.
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
