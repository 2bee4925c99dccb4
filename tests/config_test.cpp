#include "config/config_file.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

namespace {

using config::ParseNumber;

TEST(ParseNumber, ReadsTheEnterSpellings) {
    const struct { const char* text; std::optional<std::int32_t> value; } cases[] = {
        {"1", 1}, {"01", 1}, {"+1", 1}, {"$1", 1}, {"0x1", 1}, {"0X1", 1}, {"x1", 1}, {"X1", 1},
        {"0", 0}, {"2", 2}, {"-1", -1}, {"  7", 7}, {"$ff", 255}, {"-$10", -16}, {"-0x10", -16},
        {"+x1", 1}, {"$0x1", std::nullopt},
        {"", std::nullopt}, {"yes", std::nullopt}, {"1 ", std::nullopt}, {"1x", std::nullopt},
        {"0x", std::nullopt}, {"$", std::nullopt}, {"-", std::nullopt}, {"+", std::nullopt},
        {"12a", std::nullopt}, {"\t1", std::nullopt}, {"--1", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseNumber(c.text), c.value) << '"' << c.text << '"';
}

TEST(ParseNumber, KeepsToTheSigned32BitRange) {
    const struct { const char* text; std::optional<std::int32_t> value; } cases[] = {
        {"2147483647", INT32_MAX}, {"2147483648", std::nullopt},
        {"-2147483648", INT32_MIN}, {"-2147483649", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"$7FFFFFFF", INT32_MAX}, {"$80000000", INT32_MIN}, {"$FFFFFFFF", -1},
        {"0xFFFFFFFF", -1}, {"$100000000", std::nullopt}, {"$000000001", 1},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseNumber(c.text), c.value) << c.text;
}

}  // namespace
