// Helpers of the record library's tests: whole lists read back by position,
// and the check that an empty handle refuses every operation.
#pragma once

#include "com_disp_evt/safe_ptr.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <type_traits>
#include <utility>
#include <vector>

namespace records_test {

// get(0) ... get(count - 1), in order, so that whole lists compare at once.
template <class Get>
auto Collect(int32_t count, Get get)
{
    std::vector<std::decay_t<decltype(get(0))>> out;
    for (int32_t i = 0; i < count; ++i)
        out.push_back(get(i));
    return out;
}

// Named operations on an empty handle.
using Operations = std::vector<std::pair<const char*, std::function<void()>>>;

// Each operation throws the safe pointer's null reference error.
inline void ExpectEachThrowsNullRef(const Operations& ops)
{
    for (const auto& op : ops) {
        SCOPED_TRACE(op.first);
        try {
            op.second();
            ADD_FAILURE() << "no exception";
        } catch (const com_disp_evt::null_ref& e) {
            EXPECT_STREQ("null reference of safe ptr", e.what());
        }
    }
}

} // namespace records_test
