#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <string>

// Names a parameterised case after its `what`, in the letters GoogleTest allows.
template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& param) {
    std::string name = param.param.what;
    for (char& c : name) {
        c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    }
    return name;
}
