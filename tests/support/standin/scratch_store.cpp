#include "tests/support/scratch_store.h"

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>

ScratchStore::ScratchStore() {
    std::string pattern = (std::filesystem::temp_directory_path() / "blackscreenfix-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a temporary folder");
    }
    home_ = pattern;
    ::setenv("XDG_CONFIG_HOME", home_.c_str(), 1);
}

ScratchStore::~ScratchStore() {
    std::error_code ignored;
    std::filesystem::remove_all(home_, ignored);
}
