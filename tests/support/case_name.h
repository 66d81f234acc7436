// Names a parameterised case after its `name` field (a plain function, as a
// lambda's parameter would shadow the one inside GoogleTest's macro).
#pragma once

#include <gtest/gtest.h>

#include <string>

template <class Case>
std::string case_name(const testing::TestParamInfo<Case>& param) {
    return param.param.name;
}
