#include "artifacts/byte_tokenizer.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

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

TEST(ByteTokenizer, IdentityContractDescriptorAndSpecialTokens) {
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

    const EncodeResult result = tokenizer.encode("A", EncodeOptions{true, true, 0, Policy::Explicit});
    EXPECT_EQ(result.ids, (Ids{256, 65, 257}));
    EXPECT_EQ(result.fingerprint, contract.fingerprint);
    EXPECT_EQ(decodeWith(Ids{256, 72, 105, 257}, Policy::Explicit, true), "Hi");
}

template <class Call>
void expectRefused(Call&& call, Code code, const std::string& message) {
    Testing::expectThrowWithMessage<TokenizerError>(call, message,
                                                    [&](const TokenizerError& e) { EXPECT_EQ(e.code(), code); });
}

TEST(ByteTokenizer, RefusalsCarryTheirCodeAndMessage) {
    expectRefused(
        [] {
            (void)ByteTokenizer().encode("A", EncodeOptions{false, false, 1, {}});
        },
        Code::UnsupportedOption, "byte tokenizer supports only normalization=none");
    expectRefused(
        [] {
            (void)decodeWith({256, 72}, Policy::Explicit);
        },
        Code::SpecialTokenRejected, "special token requires skipSpecialTokens=true");
    for (const std::uint32_t outside : {258u, 0xFFFFFFFFu}) {
        expectRefused(
            [&] {
                (void)decodeWith({72, outside}, Policy::Explicit, true);
            },
            Code::TokenOutOfVocabulary, "token id is outside byte-tokenizer vocabulary");
    }
    // The policy is checked before any id is looked at.
    expectRefused([] { (void)decodeWith({300}, static_cast<Policy>(3)); }, Code::UnsupportedOption,
                  "unknown invalid UTF-8 policy");
}

Ids idsOf(std::string_view bytes) {
    return Ids(reinterpret_cast<const std::uint8_t*>(bytes.data()),
               reinterpret_cast<const std::uint8_t*>(bytes.data()) + bytes.size());
}

// Both ends of every excluded range and every overlong form, through encode and decode: Strict
// refuses, Replace puts one U+FFFD (a '?' below) for each byte that cannot start a well-formed
// sequence (or one for a tail cut off by the end, whose bytes are not inspected), Explicit passes
// the bytes through. The ends of the well-formed ranges are kept whole.
TEST(ByteTokenizer, IllFormedUtf8AtBothEndsOfEveryExcludedRange) {
    using namespace std::string_view_literals;
    // Each excluded range as its lowest and highest sequence, with the Replace output of each.
    struct Range {
        std::string_view low, lowReplaced, high, highReplaced;
    };
    const Range illFormed[] = {
        {"\x80", "?", "\xBF", "?"},                                // continuation bytes as leads
        {"\xC0\x80", "??", "\xC1\xBF", "??"},                      // two-byte overlong forms
        {"\xE0\x80\x80", "???", "\xE0\x9F\xBF", "???"},            // three-byte overlong forms
        {"\xED\xA0\x80", "???", "\xED\xBF\xBF", "???"},            // surrogates
        {"\xF0\x80\x80\x80", "????", "\xF0\x8F\xBF\xBF", "????"},  // four-byte overlong forms
        {"\xF4\x90\x80\x80", "????", "\xF4\xBF\xBF\xBF", "????"},  // past U+10FFFF
        {"\xF5\x80\x80\x80", "????", "\xF7\xBF\xBF\xBF", "????"},  // leads past U+10FFFF
        {"\xF8", "?", "\xFF", "?"},                                // bytes that never lead
        {"\xC2\x7F", "?\x7F", "\xC2\xC0", "??"},                   // continuations out of range
        {"\xE1\x80\x41", "??A", "\xF1\x80\x80\xC0", "????"},
        {"\xC2", "?", "A\xF4\x8F\xBF", "A?"},  // cut off by the end
        {"\xED\xA0", "?", "\xE0\x80", "?"},
    };
    const char* invalid = "invalid or incomplete UTF-8 sequence";
    const auto check = [&](std::string_view input, std::string_view replacements) {
        SCOPED_TRACE(::testing::PrintToString(std::string(input)));
        std::string replaced;
        for (const char c : replacements) {
            replaced += c == '?' ? "\xEF\xBF\xBD" : std::string(1, c);
        }
        EXPECT_EQ(encodeWith(input, Policy::Replace), idsOf(replaced));
        EXPECT_EQ(decodeWith(idsOf(input), Policy::Replace), replaced);
        EXPECT_EQ(decodeWith(idsOf(input), Policy::Explicit), input);
        expectRefused([&] { (void)encodeWith(input, Policy::Strict); }, Code::InvalidUtf8, invalid);
        expectRefused([&] { (void)decodeWith(idsOf(input), Policy::Strict); }, Code::InvalidUtf8, invalid);
    };
    for (const Range& range : illFormed) {
        check(range.low, range.lowReplaced);
        check(range.high, range.highReplaced);
    }
    // Both ends of each well-formed range of lead and second byte.
    for (const std::string_view valid :
         {"\x00"sv, "\x7F"sv, "\xC2\x80"sv, "\xDF\xBF"sv, "\xE0\xA0\x80"sv, "\xE0\xBF\xBF"sv, "\xE1\x80\x80"sv,
          "\xEC\xBF\xBF"sv, "\xED\x80\x80"sv, "\xED\x9F\xBF"sv, "\xEE\x80\x80"sv, "\xEF\xBF\xBF"sv,
          "\xF0\x90\x80\x80"sv, "\xF0\xBF\xBF\xBF"sv, "\xF1\x80\x80\x80"sv, "\xF3\xBF\xBF\xBF"sv, "\xF4\x80\x80\x80"sv,
          "\xF4\x8F\xBF\xBF"sv}) {
        EXPECT_EQ(encodeWith(valid, Policy::Strict), idsOf(valid));
        EXPECT_EQ(decodeWith(idsOf(valid), Policy::Replace), valid);
    }
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
