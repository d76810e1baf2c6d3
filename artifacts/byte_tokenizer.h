// ByteTokenizer: one token per byte (ids 0-255) plus BOS 256 and EOS 257, with no normalisation.
// Malformed UTF-8 is handled by an explicit policy: pass it through, refuse it, or replace each
// malformed sequence with U+FFFD. Every failure is a TokenizerError carrying a code.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace Halcyne::Core::Vestra {

enum class InvalidUtf8Policy : std::uint8_t { Explicit = 0, Strict = 1, Replace = 2 };

struct EncodeOptions {
    bool addBos = false;
    bool addEos = false;
    std::uint8_t normalization = 0;  // 0 = none; nothing else is supported
    InvalidUtf8Policy invalidUtf8 = InvalidUtf8Policy::Explicit;
};

struct DecodeOptions {
    bool skipSpecialTokens = false;
    InvalidUtf8Policy invalidUtf8 = InvalidUtf8Policy::Explicit;
};

struct EncodeResult {
    std::vector<std::uint32_t> ids;
    std::string fingerprint;
};

inline constexpr std::uint32_t noToken = 0xFFFFFFFFu;

struct TokenizerContract {
    std::string name;
    std::uint32_t version = 1;
    std::uint32_t vocabulary = 0;
    std::uint32_t bos = 0;
    std::uint32_t eos = 0;
    std::string fingerprint;  // 16 lowercase hexadecimal digits
    std::uint32_t unknown = noToken;
    std::uint32_t padding = noToken;
};

enum class TokenizerErrorCode : std::uint8_t {
    InvalidUtf8 = 0,
    TokenOutOfVocabulary = 1,
    SpecialTokenRejected = 2,
    UnsupportedOption = 5,
};

class TokenizerError : public std::runtime_error {
  public:
    TokenizerError(TokenizerErrorCode code, const char* message) : std::runtime_error(message), code_(code) {}
    [[nodiscard]] TokenizerErrorCode code() const noexcept { return code_; }

  private:
    TokenizerErrorCode code_;
};

class ITransformerTokenizer {
  public:
    virtual ~ITransformerTokenizer() = default;
    [[nodiscard]] virtual EncodeResult encode(std::string_view text, const EncodeOptions& options) const = 0;
    [[nodiscard]] virtual std::string decode(std::span<const std::uint32_t> ids, DecodeOptions options) const = 0;
    [[nodiscard]] virtual TokenizerContract contract() const = 0;
};

class ByteTokenizer final : public ITransformerTokenizer {
  public:
    static constexpr std::string_view identity =
        "vestra-byte-tokenizer-v1;vocabulary=258;bytes=0..255;bos=256;eos=257;normalization=none;"
        "invalid_utf8=explicit;";
    static constexpr std::uint32_t bosId = 256;
    static constexpr std::uint32_t eosId = 257;

    ByteTokenizer();

    [[nodiscard]] EncodeResult encode(std::string_view text, const EncodeOptions& options) const override;
    [[nodiscard]] std::string decode(std::span<const std::uint32_t> ids, DecodeOptions options) const override;
    [[nodiscard]] TokenizerContract contract() const override;

    // "VSTRBTK1", u16 1, u16 0x4C45, u32 identity length, u64 identity hash, the identity.
    [[nodiscard]] const std::vector<std::uint8_t>& descriptor() const noexcept { return descriptor_; }

  private:
    std::string name_;
    std::uint32_t version_;
    std::uint32_t vocabulary_;
    std::uint32_t bos_;
    std::uint32_t eos_;
    std::string fingerprint_;
    std::uint32_t unknown_;
    std::uint32_t padding_;
    std::vector<std::uint8_t> descriptor_;
};

}  // namespace Halcyne::Core::Vestra
