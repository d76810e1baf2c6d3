#include "core/byte_reader.h"

#include <gtest/gtest.h>

#include <bit>
#include <limits>
#include <vector>

#include "core/byte_writer.h"
#include "support/expect_throw.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::expectThrowWithMessage;

TEST(ByteReader, ReadsWhatTheWriterWrote) {
    const std::uint64_t integers[] = {0, 1, 0x0102030405060708ULL, std::numeric_limits<std::uint64_t>::max()};
    // Bit patterns, not values: a signalling NaN payload and a negative zero must survive.
    const double reals[] = {-0.0, 1.5, std::numeric_limits<double>::denorm_min(),
                            std::bit_cast<double>(0x7FF0000000000001ULL)};
    Bytes bytes;
    ByteWriter out(bytes);
    out.raw(std::string_view("MAGIC"));
    for (const std::uint64_t value : integers) {
        out.u64(value);
    }
    out.f64s(reals);
    EXPECT_EQ(bytes[5], 0x00);
    EXPECT_EQ(bytes[5 + 16], 0x08);  // little-endian: the low byte first

    ByteReader in(bytes, "short");
    const auto magic = in.raw(5);
    EXPECT_EQ(std::string(magic.begin(), magic.end()), "MAGIC");
    for (const std::uint64_t value : integers) {
        EXPECT_EQ(in.u64(), value);
    }
    EXPECT_EQ(std::bit_cast<std::uint64_t>(in.f64()), std::bit_cast<std::uint64_t>(reals[0]));
    std::vector<double> rest(3);
    in.f64s(rest, "short payload");
    for (std::size_t i = 0; i < rest.size(); ++i) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(rest[i]), std::bit_cast<std::uint64_t>(reals[i + 1]));
    }
    EXPECT_TRUE(in.atEnd());
}

TEST(ByteReader, OverrunsThrowAndKeepTheCursor) {
    const Bytes bytes(12, 0xAB);
    ByteReader in(bytes, "short");
    EXPECT_EQ(in.u64(), 0xABABABABABABABABULL);
    expectThrowWithMessage<std::invalid_argument>([&] { (void)in.u64(); }, "short");
    expectThrowWithMessage<std::invalid_argument>([&] { (void)in.raw(5); }, "short");
    std::vector<double> one(1);
    expectThrowWithMessage<std::invalid_argument>([&] { in.f64s(one, "short payload"); }, "short payload");
    EXPECT_EQ(in.position(), 8u);
    EXPECT_EQ(in.raw(4).size(), 4u);
    EXPECT_TRUE(in.atEnd());
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
