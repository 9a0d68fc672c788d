#pragma once

// The stand-in store's files as another process sees them: the temporary files left in a store, and a lock
// held on one as a live writer holds it until its rename.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

// Every temporary file under `home`, the folder the store is kept in.
inline std::vector<std::string> TemporaryFilesIn(const std::string& home) {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(home)) {
        if (entry.path().filename().string().rfind(".tmp-", 0) == 0) {
            found.push_back(entry.path().string());
        }
    }
    return found;
}

class HeldLock {
  public:
    explicit HeldLock(const std::filesystem::path& file) : fd_(::open(file.c_str(), O_RDONLY | O_CLOEXEC)) {
        EXPECT_EQ(::flock(fd_, LOCK_EX | LOCK_NB), 0) << file;
    }
    ~HeldLock() { ::close(fd_); }
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;

  private:
    int fd_;
};
