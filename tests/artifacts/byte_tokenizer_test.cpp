#include "artifacts/byte_tokenizer.h"

#include <gtest/gtest.h>

#include <functional>

#include "core/hash.h"

namespace Halcyne::Core::Vestra {
namespace {

using Ids = std::vector<std::uint32_t>;

void expectTokenizerError(const std::function<void()>& call, TokenizerErrorCode code, const std::string& message) {
    try {
        call();
        ADD_FAILURE() << "expected TokenizerError \"" << message << "\"";
    } catch (const TokenizerError& error) {
        EXPECT_EQ(error.code(), code);
        EXPECT_EQ(error.what(), message);
    }
}

Ids encodeWith(std::string_view text, InvalidUtf8Policy policy) {
    return ByteTokenizer().encode(text, EncodeOptions{false, false, 0, policy}).ids;
}

std::string decodeWith(const Ids& ids, InvalidUtf8Policy policy) {
    return ByteTokenizer().decode(ids, DecodeOptions{false, policy});
}

TEST(ByteTokenizer, IdentityContractAndDescriptor) {
    const ByteTokenizer tokenizer;
    EXPECT_EQ(ByteTokenizer::identity.size(), 110u);
    const TokenizerContract contract = tokenizer.contract();
    EXPECT_EQ(contract.name, "byte");
    EXPECT_EQ(contract.version, 1u);
    EXPECT_EQ(contract.vocabulary, 258u);
    EXPECT_EQ(contract.bos, 256u);
    EXPECT_EQ(contract.eos, 257u);
    EXPECT_EQ(contract.fingerprint, "d625d64e85fdde02");
    EXPECT_EQ(contract.unknown, 0xFFFFFFFFu);
    EXPECT_EQ(contract.padding, 0xFFFFFFFFu);

    const std::vector<std::uint8_t>& descriptor = tokenizer.descriptor();
    ASSERT_EQ(descriptor.size(), 24u + 110u);
    const std::vector<std::uint8_t> header = {'V', 'S', 'T', 'R', 'B',  'T',  'K',  '1',  0x01, 0x00, 0x45, 0x4C,
                                              110, 0,   0,   0,   0x02, 0xde, 0xfd, 0x85, 0x4e, 0xd6, 0x25, 0xd6};
    EXPECT_EQ(std::vector<std::uint8_t>(descriptor.begin(), descriptor.begin() + 24), header);
    EXPECT_EQ(std::string(descriptor.begin() + 24, descriptor.end()), ByteTokenizer::identity);
}

TEST(ByteTokenizer, EncodeAddsSpecialsAndAppliesThePolicy) {
    const ByteTokenizer tokenizer;
    const EncodeResult result = tokenizer.encode("A", EncodeOptions{true, true, 0, InvalidUtf8Policy::Explicit});
    EXPECT_EQ(result.ids, (Ids{256, 65, 257}));
    EXPECT_EQ(result.fingerprint, "d625d64e85fdde02");
    EXPECT_TRUE(tokenizer.encode("", EncodeOptions{}).ids.empty());

    EXPECT_EQ(encodeWith("\xC3\x28", InvalidUtf8Policy::Explicit), (Ids{195, 40}));
    EXPECT_EQ(encodeWith("\xC3\x28", InvalidUtf8Policy::Replace), (Ids{239, 191, 189, 40}));
    expectTokenizerError([] { (void)encodeWith("\xC3\x28", InvalidUtf8Policy::Strict); },
                         TokenizerErrorCode::InvalidUtf8, "invalid or incomplete UTF-8 sequence");
    // Encode does not refuse an unknown policy: it passes the bytes through.
    EXPECT_EQ(encodeWith("\xC3\x28", static_cast<InvalidUtf8Policy>(9)), (Ids{195, 40}));
    expectTokenizerError(
        [&] {
            (void)tokenizer.encode("A", EncodeOptions{false, false, 1, {}});
        },
        TokenizerErrorCode::UnsupportedOption, "byte tokenizer supports only normalization=none");
}

TEST(ByteTokenizer, DecodeHandlesSpecialsAndRange) {
    const ByteTokenizer tokenizer;
    EXPECT_EQ(tokenizer.decode(Ids{72, 105}, {}), "Hi");
    EXPECT_EQ(tokenizer.decode(Ids{}, {}), "");
    EXPECT_EQ(tokenizer.decode(Ids{256, 72, 257}, DecodeOptions{true, {}}), "H");
    expectTokenizerError(
        [&] {
            (void)tokenizer.decode(Ids{256, 72}, {});
        },
        TokenizerErrorCode::SpecialTokenRejected, "special token requires skipSpecialTokens=true");
    for (const std::uint32_t id : {258u, 300u, 0xFFFFFFFFu}) {
        expectTokenizerError(
            [&] {
                (void)tokenizer.decode(Ids{72, id}, DecodeOptions{true, {}});
            },
            TokenizerErrorCode::TokenOutOfVocabulary, "token id is outside byte-tokenizer vocabulary");
    }
    // The policy is checked before any id is looked at.
    expectTokenizerError(
        [&] {
            (void)tokenizer.decode(Ids{300}, DecodeOptions{false, static_cast<InvalidUtf8Policy>(3)});
        },
        TokenizerErrorCode::UnsupportedOption, "unknown invalid UTF-8 policy");
}

TEST(ByteTokenizer, MalformedUtf8UnderEachPolicy) {
    // An incomplete three-byte sequence at the end: one replacement, or both bytes unchanged.
    EXPECT_EQ(decodeWith(Ids{0xE2, 0x82}, InvalidUtf8Policy::Replace), "\xEF\xBF\xBD");
    EXPECT_EQ(decodeWith(Ids{0x41, 0xE2, 0x82}, InvalidUtf8Policy::Explicit), "A\xE2\x82");
    expectTokenizerError(
        [] {
            (void)decodeWith(Ids{0xE2, 0x82}, InvalidUtf8Policy::Strict);
        },
        TokenizerErrorCode::InvalidUtf8, "invalid or incomplete UTF-8 sequence");

    // Overlong forms, surrogates and code points past U+10FFFF are invalid one byte at a time.
    struct Case {
        std::string input;
        std::string replaced;
    };
    const std::string fffd = "\xEF\xBF\xBD";
    const Case cases[] = {
        {"\xC0\x80", fffd + fffd},
        {"\xE0\x80\x80", fffd + fffd + fffd},
        {"\xED\xA0\x80", fffd + fffd + fffd},
        {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},
        {"\xF5", fffd},
        {"\x80x", fffd + "x"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ByteTokenizer().decode(ByteTokenizer().encode(c.input, {}).ids, {false, InvalidUtf8Policy::Replace}),
                  c.replaced);
        EXPECT_THROW((void)encodeWith(c.input, InvalidUtf8Policy::Strict), TokenizerError);
        EXPECT_EQ(decodeWith(encodeWith(c.input, InvalidUtf8Policy::Explicit), InvalidUtf8Policy::Explicit), c.input);
    }

    // The boundaries of each length class are valid and survive a strict round trip.
    for (const std::string valid : {"\x7F", "\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xED\x9F\xBF", "\xEE\x80\x80",
                                    "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF"}) {
        EXPECT_EQ(decodeWith(encodeWith(valid, InvalidUtf8Policy::Strict), InvalidUtf8Policy::Strict), valid);
    }
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
