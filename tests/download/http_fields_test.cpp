#include <gtest/gtest.h>

#include <string>

#include "KHttpFields.h"

namespace {

using namespace std::string_literals;

// Every form a server may send is taken with its numbers; every other form is refused and
// leaves the result as it was.
TEST(HttpFields, ContentRangeFormsAndRefusals) {
    struct Taken {
        std::string value;
        uint64_t first, last;
        bool hasTotal;
        uint64_t total;
    };
    const Taken taken[] = {
        {"bytes 0-9/100", 0, 9, true, 100},
        {"BYTES 10-10/11", 10, 10, true, 11},
        {"bytes 0-9/*", 0, 9, false, 0},
        // Blanks around the value and around each number.
        {" \tbytes 0-9/100\t ", 0, 9, true, 100},
        {"bytes  0 - 9 / 100", 0, 9, true, 100},
        {"bytes \t2000\t-\t6095\t/\t6096", 2000, 6095, true, 6096},
        {"bytes 0-9/ * ", 0, 9, false, 0},
        {"bytes 0-18446744073709551614/18446744073709551615", 0, 18446744073709551614u, true,
         18446744073709551615u},
    };
    const std::string refused[] = {
        // No unit, another unit, or no space after it.
        "",
        "bytes",
        "bytes ",
        "0-9/100",
        "bytes0-9/100",
        "bytes\t0-9/100",
        "bytes=0-9/100",
        "items 0-9/100",
        // Signs.
        "bytes +0-9/100",
        "bytes -1-9/100",
        "bytes 0-+9/100",
        "bytes 0-9/+100",
        "bytes 0-9/-100",
        // Numbers past 64 bits.
        "bytes 18446744073709551616-18446744073709551617/18446744073709551618",
        "bytes 0-18446744073709551616/18446744073709551617",
        "bytes 0-9/18446744073709551616",
        "bytes 0-9/99999999999999999999999",
        // Garbage, missing or surplus parts.
        "bytes 0x0-9/100",
        "bytes 0-9/100x",
        "bytes 0-9/100;",
        "bytes 0-9/1e3",
        "bytes 1 0-19/100",
        "bytes 0-9/10 0",
        "bytes 0-9",
        "bytes 0-9/",
        "bytes -9/100",
        "bytes 0-/100",
        "bytes */100",
        "bytes 0-9-10/100",
        "bytes 0-9//100",
        "bytes 0-9/**",
        "bytes 0-9/*x",
        "bytes 0-9/100, 20-29/100",
        "bytes 0-9/100\0x"s,
        "bytes 0\0-9/100"s,
        // First past last; last at or past the total.
        "bytes 10-9/100",
        "bytes 0-100/100",
        "bytes 0-9/9",
        "bytes 0-0/0",
    };
    for (const Taken& c : taken) {
        SCOPED_TRACE("\"" + c.value + "\"");
        KHttpContentRange r;
        ASSERT_TRUE(KHttpParseContentRange(c.value, &r));
        EXPECT_EQ(r.ullFirst, c.first);
        EXPECT_EQ(r.ullLast, c.last);
        EXPECT_EQ(r.bHasTotal, c.hasTotal);
        EXPECT_EQ(r.ullTotal, c.total);
    }
    for (const std::string& value : refused) {
        SCOPED_TRACE("\"" + value + "\"");
        KHttpContentRange r{7, 7, true, 7};
        EXPECT_FALSE(KHttpParseContentRange(value, &r));
        EXPECT_EQ(r.ullFirst, 7u);
        EXPECT_EQ(r.ullLast, 7u);
        EXPECT_TRUE(r.bHasTotal);
        EXPECT_EQ(r.ullTotal, 7u);
    }
}

TEST(HttpFields, DecimalsAndNames) {
    struct Number {
        std::string value;
        bool ok;
        uint64_t v;
    };
    const Number numbers[] = {
        {"0", true, 0},
        {"65536", true, 65536},
        {" \t42\t ", true, 42},
        {"18446744073709551615", true, 18446744073709551615u},
        {"", false, 0},
        {" \t", false, 0},
        {"+1", false, 0},
        {"-1", false, 0},
        {"1 2", false, 0},
        {"1.0", false, 0},
        {"0x10", false, 0},
        {"12a", false, 0},
        {"12\0"s, false, 0},
        {"18446744073709551616", false, 0},
        {"99999999999999999999", false, 0},
    };
    for (const Number& n : numbers) {
        SCOPED_TRACE("\"" + n.value + "\"");
        uint64_t v = 7;
        ASSERT_EQ(KHttpParseDecimal(n.value, &v), n.ok);
        EXPECT_EQ(v, n.ok ? n.v : 7u);
    }

    struct Name {
        std::string name;
        const char* wanted;
        bool same;
    };
    const Name names[] = {
        {"Content-Range", "Content-Range", true},
        {"content-range", "Content-Range", true},
        {"CONTENT-LENGTH", "Content-Length", true},
        {"Content-Lengt", "Content-Length", false},
        {"Content-Lengths", "Content-Length", false},
        {"Content_Length", "Content-Length", false},
        {"Content-Length\0"s, "Content-Length", false},
        {"", "ETag", false},
    };
    for (const Name& n : names) {
        SCOPED_TRACE("\"" + n.name + "\"");
        EXPECT_EQ(KHttpNameIs(n.name, n.wanted), n.same);
    }
}

}  // namespace
