#pragma once
#include <gtest/gtest.h>

#include <string>

// Names each case of a table after its `name` column, so a failure listed by ctest says which
// row broke rather than its index.
struct CaseName {
    template <class Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
        return std::string(info.param.name);
    }
};
