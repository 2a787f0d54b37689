#include <gtest/gtest.h>

#include <string>

#include "TavelinPlatform/core/ByteCodec.h"

namespace tavelin {
namespace {

TEST(ByteCodecTests, WritesEachOrderAndReadsBackWithinBounds) {
    struct Case {
        std::uint64_t value;
        std::size_t width;
        ByteOrder order;
        std::string bytes;
    };
    const Case cases[] = {
        {0x0102, 2, ByteOrder::bigEndian, std::string("\x01\x02", 2)},
        {0x0102, 2, ByteOrder::littleEndian, std::string("\x02\x01", 2)},
        {0x01020304, 4, ByteOrder::bigEndian, "\x01\x02\x03\x04"},
        {UINT64_MAX, 8, ByteOrder::littleEndian, std::string(8, '\xff')},
        {0x1FF, 1, ByteOrder::bigEndian, "\xff"},  // only the low bytes are written
    };
    for (const Case& c : cases) {
        std::string out = "x";
        appendUnsigned(out, c.value, c.width, c.order);
        EXPECT_EQ(out, "x" + c.bytes) << c.value;
        ByteReader reader(out);
        ASSERT_TRUE(reader.readBytes(1));
        EXPECT_EQ(reader.readUnsigned(c.width, c.order),
                  c.value & (c.width == 8 ? UINT64_MAX : ((1ULL << (8 * c.width)) - 1)));
        EXPECT_EQ(reader.remaining(), 0U);
    }
    // A read past the end answers nothing and consumes nothing.
    ByteReader reader(std::string_view("\x01\x02\x03", 3));
    EXPECT_FALSE(reader.readUnsigned(4, ByteOrder::bigEndian));
    EXPECT_EQ(reader.readUnsigned(2, ByteOrder::bigEndian), 0x0102U);
    EXPECT_FALSE(reader.readBytes(2));
    EXPECT_EQ(reader.rest(), "\x03");
}

}  // namespace
}  // namespace tavelin
