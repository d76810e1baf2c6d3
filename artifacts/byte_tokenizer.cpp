#include "artifacts/byte_tokenizer.h"

#include "core/byte_writer.h"
#include "core/hash.h"

namespace Halcyne::Core::Vestra {
namespace {

enum class Utf8Status : std::uint8_t { Valid, Incomplete, Invalid };

struct Utf8Sequence {
    Utf8Status status;
    std::size_t length;
};

// Classifies the sequence that starts at bytes[0]. Overlong forms, surrogates and code points
// above U+10FFFF are invalid with length 1, so a repair advances one byte at a time through them.
Utf8Sequence classifyUtf8(std::string_view bytes) {
    const auto lead = static_cast<std::uint8_t>(bytes[0]);
    if (lead < 0x80) {
        return {Utf8Status::Valid, 1};
    }
    std::size_t length = 0;
    std::uint32_t code = 0;
    std::uint32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, code = lead & 0x1Fu, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, code = lead & 0x0Fu, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, code = lead & 0x07u, minimum = 0x10000;
    } else {
        return {Utf8Status::Invalid, 1};
    }
    if (bytes.size() < length) {
        return {Utf8Status::Incomplete, length};
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto continuation = static_cast<std::uint8_t>(bytes[i]);
        if ((continuation & 0xC0u) != 0x80u) {
            return {Utf8Status::Invalid, 1};
        }
        code = code * 64 + (continuation & 0x3Fu);
    }
    // The minimum holds for every length: a four-byte form of U+E000..U+FFFF is overlong too.
    const bool scalar = code >= minimum && (code < 0xD800 || (code >= 0xE000 && code <= 0x10FFFF));
    return {scalar ? Utf8Status::Valid : Utf8Status::Invalid, scalar ? length : 1};
}

// Copies valid sequences and treats each malformed one by the policy; the input is complete, so an
// unfinished tail is malformed too. Policies above Replace behave as Explicit.
std::string repairUtf8(std::string_view input, InvalidUtf8Policy policy) {
    std::string out;
    out.reserve(input.size());
    std::size_t position = 0;
    while (position < input.size()) {
        const std::string_view rest = input.substr(position);
        const Utf8Sequence sequence = classifyUtf8(rest);
        if (sequence.status == Utf8Status::Valid) {
            out.append(rest.substr(0, sequence.length));
            position += sequence.length;
            continue;
        }
        const std::size_t malformed = sequence.status == Utf8Status::Incomplete ? rest.size() : 1;
        switch (policy) {
            case InvalidUtf8Policy::Strict:
                throw TokenizerError(TokenizerErrorCode::InvalidUtf8, "invalid or incomplete UTF-8 sequence");
            case InvalidUtf8Policy::Replace:
                out.append("\xEF\xBF\xBD");
                break;
            default:
                out.append(rest.substr(0, malformed));
                break;
        }
        position += malformed;
    }
    return out;
}

std::string hex16(std::uint64_t value) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text(16, '0');
    for (std::size_t i = text.size(); i-- > 0; value >>= 4) {
        text[i] = digits[value & 0xFu];
    }
    return text;
}

}  // namespace

ByteTokenizer::ByteTokenizer()
    : name_("byte"),
      version_(1),
      vocabulary_(258),
      bos_(bosId),
      eos_(eosId),
      fingerprint_(hex16(vestraFnv1a64(identity))),
      unknown_(noToken),
      padding_(noToken) {
    ByteWriter out(descriptor_);
    out.raw(std::string_view("VSTRBTK1"));
    out.u16(1);
    out.u16(0x4C45);
    out.u32(static_cast<std::uint32_t>(identity.size()));
    out.u64(vestraFnv1a64(identity));
    out.raw(identity);
}

EncodeResult ByteTokenizer::encode(std::string_view text, const EncodeOptions& options) const {
    if (options.normalization != 0) {
        throw TokenizerError(TokenizerErrorCode::UnsupportedOption, "byte tokenizer supports only normalization=none");
    }
    std::string repaired;
    if (options.invalidUtf8 != InvalidUtf8Policy::Explicit) {
        repaired = repairUtf8(text, options.invalidUtf8);
        text = repaired;
    }
    EncodeResult result;
    result.ids.reserve(text.size() + (options.addBos ? 1 : 0) + (options.addEos ? 1 : 0));
    if (options.addBos) {
        result.ids.push_back(bos_);
    }
    for (const char c : text) {
        result.ids.push_back(static_cast<std::uint8_t>(c));
    }
    if (options.addEos) {
        result.ids.push_back(eos_);
    }
    result.fingerprint = fingerprint_;
    return result;
}

std::string ByteTokenizer::decode(std::span<const std::uint32_t> ids, DecodeOptions options) const {
    if (static_cast<std::uint8_t>(options.invalidUtf8) > 2) {
        throw TokenizerError(TokenizerErrorCode::UnsupportedOption, "unknown invalid UTF-8 policy");
    }
    std::string pending;
    pending.reserve(ids.size());
    for (const std::uint32_t id : ids) {
        if (id < 256) {
            pending.push_back(static_cast<char>(id));
        } else if (id == bos_ || id == eos_) {
            if (!options.skipSpecialTokens) {
                throw TokenizerError(TokenizerErrorCode::SpecialTokenRejected,
                                     "special token requires skipSpecialTokens=true");
            }
        } else {
            throw TokenizerError(TokenizerErrorCode::TokenOutOfVocabulary,
                                 "token id is outside byte-tokenizer vocabulary");
        }
    }
    return repairUtf8(pending, options.invalidUtf8);
}

TokenizerContract ByteTokenizer::contract() const {
    return {name_, version_, vocabulary_, bos_, eos_, fingerprint_, unknown_, padding_};
}

}  // namespace Halcyne::Core::Vestra
