#pragma once
// What a fuzz target demands of the code under test: a broken demand aborts,
// which libFuzzer reports as a crash with the input that caused it.
#include <cstdlib>

namespace brigant::fuzz
{

inline void Require(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace brigant::fuzz
