// The byte tokenizer's encode and decode under each policy, held to what must hold for any text
// (the tests pin how each ill-formed range is treated): Explicit passes the bytes through, Strict
// keeps the text or refuses it, Replace changes exactly the text Strict refuses and gives text
// Strict keeps, and decoding the text's bytes gives what encoding gives. The first input byte
// chooses the options; the rest is the text.
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
using Code = Vestra::TokenizerErrorCode;

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

const Vestra::ByteTokenizer tokenizer;

// The bytes encode gives between the optional BOS and EOS, or nothing where Strict refuses.
std::optional<std::string> encoded(std::string_view text, Policy policy, bool addBos, bool addEos) {
    try {
        const Vestra::EncodeResult result = tokenizer.encode(text, Vestra::EncodeOptions{addBos, addEos, 0, policy});
        require(result.fingerprint == tokenizer.contract().fingerprint);
        require(result.ids.size() >= std::size_t{addBos} + std::size_t{addEos});
        require(!addBos || result.ids.front() == Vestra::ByteTokenizer::bosId);
        require(!addEos || result.ids.back() == Vestra::ByteTokenizer::eosId);
        std::string bytes;
        for (std::size_t i = addBos ? 1 : 0; i + (addEos ? 1 : 0) < result.ids.size(); ++i) {
            require(result.ids[i] < 256);
            bytes.push_back(static_cast<char>(result.ids[i]));
        }
        return bytes;
    } catch (const Vestra::TokenizerError& error) {
        require(error.code() == Code::InvalidUtf8 && policy == Policy::Strict);
        return std::nullopt;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::uint8_t choice = data[0];
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    const bool addBos = (choice & 1) != 0;
    const bool addEos = (choice & 2) != 0;
    const bool skipSpecials = (choice & 4) != 0;

    const std::optional<std::string> strict = encoded(text, Policy::Strict, addBos, addEos);
    const std::optional<std::string> replaced = encoded(text, Policy::Replace, addBos, addEos);
    require(encoded(text, Policy::Explicit, addBos, addEos) == text);
    require(encoded(text, static_cast<Policy>(3 + choice % 253), addBos, addEos) == text);
    require(!strict || *strict == text);
    require(replaced && (*replaced == text) == strict.has_value());
    require(encoded(*replaced, Policy::Strict, false, false) == *replaced);

    // Decoding the text's bytes gives what encoding gives; an EOS among them is skipped or refused.
    std::vector<std::uint32_t> ids(reinterpret_cast<const std::uint8_t*>(text.data()),
                                   reinterpret_cast<const std::uint8_t*>(text.data()) + text.size());
    if (addBos) {
        ids.insert(ids.begin() + static_cast<std::ptrdiff_t>(ids.size() / 2), Vestra::ByteTokenizer::eosId);
    }
    const bool specialRefused = addBos && !skipSpecials;
    for (const auto& [policy, expected] : {std::pair{Policy::Explicit, std::optional<std::string>(text)},
                                           std::pair{Policy::Strict, strict}, std::pair{Policy::Replace, replaced}}) {
        try {
            require(tokenizer.decode(ids, Vestra::DecodeOptions{skipSpecials, policy}) == expected && !specialRefused);
        } catch (const Vestra::TokenizerError& error) {
            require(specialRefused ? error.code() == Code::SpecialTokenRejected
                                   : error.code() == Code::InvalidUtf8 && !expected);
        }
    }
    return 0;
}
