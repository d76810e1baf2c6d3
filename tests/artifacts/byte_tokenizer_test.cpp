#include "artifacts/byte_tokenizer.h"

#include <gtest/gtest.h>

#include "support/expect_throw.h"

namespace Halcyne::Core::Vestra {
namespace {

using Ids = std::vector<std::uint32_t>;
using Code = TokenizerErrorCode;
using Policy = InvalidUtf8Policy;

Ids encodeWith(std::string_view text, Policy policy) {
    return ByteTokenizer().encode(text, EncodeOptions{false, false, 0, policy}).ids;
}

std::string decodeWith(const Ids& ids, Policy policy, bool skipSpecials = false) {
    return ByteTokenizer().decode(ids, DecodeOptions{skipSpecials, policy});
}

TEST(ByteTokenizer, IdentityContractAndDescriptor) {
    const ByteTokenizer tokenizer;
    const TokenizerContract contract = tokenizer.contract();
    EXPECT_EQ(contract.fingerprint, "d625d64e85fdde02");
    EXPECT_EQ((Ids{contract.vocabulary, contract.bos, contract.eos, contract.unknown, contract.padding}),
              (Ids{258, 256, 257, 0xFFFFFFFFu, 0xFFFFFFFFu}));

    const std::vector<std::uint8_t>& descriptor = tokenizer.descriptor();
    ASSERT_EQ(descriptor.size(), 24u + 110u);
    const std::vector<std::uint8_t> header = {'V', 'S', 'T', 'R', 'B',  'T',  'K',  '1',  0x01, 0x00, 0x45, 0x4C,
                                              110, 0,   0,   0,   0x02, 0xde, 0xfd, 0x85, 0x4e, 0xd6, 0x25, 0xd6};
    EXPECT_EQ(std::vector<std::uint8_t>(descriptor.begin(), descriptor.begin() + 24), header);
    EXPECT_EQ(std::string(descriptor.begin() + 24, descriptor.end()), ByteTokenizer::identity);
}

TEST(ByteTokenizer, EncodeAndDecodeHandleSpecialsAndPolicies) {
    const ByteTokenizer tokenizer;
    const EncodeResult result = tokenizer.encode("A", EncodeOptions{true, true, 0, Policy::Explicit});
    EXPECT_EQ(result.ids, (Ids{256, 65, 257}));
    EXPECT_EQ(result.fingerprint, "d625d64e85fdde02");
    EXPECT_EQ(decodeWith(Ids{256, 72, 105, 257}, Policy::Explicit, true), "Hi");
    EXPECT_EQ(encodeWith("\xC3\x28", Policy::Replace), (Ids{239, 191, 189, 40}));
    // Encode does not refuse an unknown policy: it passes the bytes through.
    EXPECT_EQ(encodeWith("\xC3\x28", static_cast<Policy>(9)), (Ids{195, 40}));
    // An incomplete sequence at the end: one replacement, or the bytes unchanged.
    EXPECT_EQ(decodeWith(Ids{0xE2, 0x82}, Policy::Replace), "\xEF\xBF\xBD");
    EXPECT_EQ(decodeWith(Ids{0x41, 0xE2, 0x82}, Policy::Explicit), "A\xE2\x82");
}

template <class Call>
void expectRefused(Call&& call, Code code, const std::string& message) {
    Testing::expectThrowWithMessage<TokenizerError>(call, message,
                                                    [&](const TokenizerError& e) { EXPECT_EQ(e.code(), code); });
}

TEST(ByteTokenizer, RefusalsCarryTheirCodeAndMessage) {
    const char* invalid = "invalid or incomplete UTF-8 sequence";
    expectRefused([] { (void)encodeWith("\xC3\x28", Policy::Strict); }, Code::InvalidUtf8, invalid);
    const EncodeOptions normalizing{false, false, 1, {}};
    expectRefused([&] { (void)ByteTokenizer().encode("A", normalizing); }, Code::UnsupportedOption,
                  "byte tokenizer supports only normalization=none");
    struct Case {
        Ids ids;
        Policy policy;
        bool skipSpecials;
        Code code;
        const char* message;
    };
    const char* outside = "token id is outside byte-tokenizer vocabulary";
    const char* special = "special token requires skipSpecialTokens=true";
    const Case cases[] = {
        {{0xE2, 0x82}, Policy::Strict, false, Code::InvalidUtf8, invalid},
        {{256, 72}, Policy::Explicit, false, Code::SpecialTokenRejected, special},
        {{72, 258}, Policy::Explicit, true, Code::TokenOutOfVocabulary, outside},
        {{72, 0xFFFFFFFFu}, Policy::Explicit, true, Code::TokenOutOfVocabulary, outside},
        // The policy is checked before any id is looked at.
        {{300}, static_cast<Policy>(3), false, Code::UnsupportedOption, "unknown invalid UTF-8 policy"},
    };
    for (const Case& c : cases) {
        expectRefused([&] { (void)decodeWith(c.ids, c.policy, c.skipSpecials); }, c.code, c.message);
    }
}

TEST(ByteTokenizer, MalformedUtf8IsInvalidOneByteAtATime) {
    // Overlong forms, surrogates, code points past U+10FFFF and stray continuation bytes.
    const std::string fffd = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> cases[] = {
        {"\xC0\x80", fffd + fffd},
        {"\xE0\x80\x80", fffd + fffd + fffd},
        // Four-byte overlong forms of U+E000 and U+FFFF, past the surrogate range.
        {"\xF0\x8E\x80\x80", fffd + fffd + fffd + fffd},
        {"\xF0\x8F\xBF\xBF", fffd + fffd + fffd + fffd},
        {"\xED\xA0\x80", fffd + fffd + fffd},
        {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},
        {"\xF5", fffd},
        {"\x80x", fffd + "x"},
    };
    for (const auto& [input, replaced] : cases) {
        EXPECT_EQ(decodeWith(encodeWith(input, Policy::Explicit), Policy::Replace), replaced);
        EXPECT_THROW((void)encodeWith(input, Policy::Strict), TokenizerError);
        EXPECT_EQ(decodeWith(encodeWith(input, Policy::Explicit), Policy::Explicit), input);
    }
    // The boundaries of each length class are valid and survive a strict round trip.
    for (const std::string valid : {"\x7F", "\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xED\x9F\xBF", "\xEE\x80\x80",
                                    "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF"}) {
        EXPECT_EQ(decodeWith(encodeWith(valid, Policy::Strict), Policy::Strict), valid);
    }
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
