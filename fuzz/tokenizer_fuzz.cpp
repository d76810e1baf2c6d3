// The byte tokenizer's encode and decode under each policy, held against a classification of
// UTF-8 written here from the well-formed byte ranges (not from code point arithmetic). The first
// input byte chooses the options; the rest is the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "artifacts/byte_tokenizer.h"

namespace Vestra = Halcyne::Core::Vestra;

namespace {

using Policy = Vestra::InvalidUtf8Policy;

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// The sequence length a lead byte announces, or 0 for a byte that cannot lead.
std::size_t announcedLength(std::uint8_t lead) {
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        return 4;
    }
    return 0;
}

// Well-formed byte sequences: the second byte's range depends on the lead (which rules out
// overlong forms, surrogates and values past U+10FFFF); later bytes are 80..BF.
bool wellFormed(std::string_view sequence) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(sequence[i]); };
    const std::uint8_t lead = byte(0);
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    if (lead == 0xE0) {
        low = 0xA0;
    } else if (lead == 0xED) {
        high = 0x9F;
    } else if (lead == 0xF0) {
        low = 0x90;
    } else if (lead == 0xF4) {
        high = 0x8F;
    }
    if (sequence.size() > 1 && (byte(1) < low || byte(1) > high)) {
        return false;
    }
    for (std::size_t i = 2; i < sequence.size(); ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) {
            return false;
        }
    }
    return true;
}

// The policy's output, or nothing where Strict refuses: each ill-formed sequence counts as its
// first byte, and a sequence cut off by the end of the input is the whole tail.
std::optional<std::string> expectedRepair(std::string_view text, Policy policy) {
    std::string out;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t length = announcedLength(static_cast<std::uint8_t>(text[at]));
        std::size_t malformed = 1;
        if (length != 0 && at + length > text.size()) {
            malformed = text.size() - at;
        } else if (length != 0 && wellFormed(text.substr(at, length))) {
            out.append(text.substr(at, length));
            at += length;
            continue;
        }
        if (policy == Policy::Strict) {
            return std::nullopt;
        }
        out.append(policy == Policy::Replace ? std::string_view("\xEF\xBF\xBD") : text.substr(at, malformed));
        at += malformed;
    }
    return out;
}

std::vector<std::uint32_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()),
            reinterpret_cast<const std::uint8_t*>(text.data()) + text.size()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    static const Vestra::ByteTokenizer tokenizer;
    const std::uint8_t choice = data[0];
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    const bool addBos = (choice & 1) != 0;
    const bool addEos = (choice & 2) != 0;
    const bool skipSpecials = (choice & 4) != 0;

    for (const Policy policy : {Policy::Explicit, Policy::Strict, Policy::Replace}) {
        const std::optional<std::string> expected = expectedRepair(text, policy);
        if (expected) {
            require(expectedRepair(*expected, Policy::Strict) == *expected || policy == Policy::Explicit);
        }

        std::optional<Vestra::EncodeResult> encoded;
        try {
            encoded = tokenizer.encode(text, Vestra::EncodeOptions{addBos, addEos, 0, policy});
        } catch (const Vestra::TokenizerError& error) {
            require(error.code() == Vestra::TokenizerErrorCode::InvalidUtf8 && !expected);
        }
        require(encoded.has_value() == expected.has_value());
        if (encoded) {
            std::vector<std::uint32_t> ids = bytesOf(*expected);
            if (addBos) {
                ids.insert(ids.begin(), Vestra::ByteTokenizer::bosId);
            }
            if (addEos) {
                ids.push_back(Vestra::ByteTokenizer::eosId);
            }
            require(encoded->ids == ids);
            require(encoded->fingerprint == tokenizer.contract().fingerprint);
        }

        // Decoding the raw bytes gives what encoding gives; special tokens are skipped or refused.
        std::vector<std::uint32_t> ids = bytesOf(text);
        if (addBos) {
            ids.insert(ids.begin() + static_cast<std::ptrdiff_t>(ids.size() / 2), Vestra::ByteTokenizer::eosId);
        }
        std::optional<std::string> decoded;
        try {
            decoded = tokenizer.decode(ids, Vestra::DecodeOptions{skipSpecials, policy});
        } catch (const Vestra::TokenizerError& error) {
            const bool specialRefused =
                addBos && !skipSpecials && error.code() == Vestra::TokenizerErrorCode::SpecialTokenRejected;
            const bool invalid =
                (!addBos || skipSpecials) && !expected && error.code() == Vestra::TokenizerErrorCode::InvalidUtf8;
            require(specialRefused || invalid);
        }
        if (decoded) {
            require((!addBos || skipSpecials) && decoded == expected);
        }
    }

    // Encoding under a policy past Replace passes the bytes through, as Explicit does.
    const Vestra::EncodeResult passed =
        tokenizer.encode(text, Vestra::EncodeOptions{false, false, 0, static_cast<Policy>(3 + choice % 253)});
    require(passed.ids == bytesOf(text));

    // Ids past the vocabulary and policies past Replace are refused with their codes in decoding.
    const std::uint32_t outside = 258 + choice;
    try {
        (void)tokenizer.decode(std::vector<std::uint32_t>{65, outside}, Vestra::DecodeOptions{true, Policy::Explicit});
        std::abort();
    } catch (const Vestra::TokenizerError& error) {
        require(error.code() == Vestra::TokenizerErrorCode::TokenOutOfVocabulary);
    }
    if (choice > 2) {
        try {
            (void)tokenizer.decode(bytesOf(text), Vestra::DecodeOptions{false, static_cast<Policy>(choice)});
            std::abort();
        } catch (const Vestra::TokenizerError& error) {
            require(error.code() == Vestra::TokenizerErrorCode::UnsupportedOption);
        }
    }
    return 0;
}
