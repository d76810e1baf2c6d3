#include "core/transformer_spec.h"

#include <gtest/gtest.h>

#include <bit>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <limits>
#include <locale>

#include "core/hash.h"
#include "core/identity_text.h"
#include "driver/fixtures.h"

namespace Halcyne::Core::Vestra {
namespace {

using Issues = std::vector<TransformerSpecIssue>;

constexpr const char* fixtureSpecIdentity =
    "vestra-transformer-spec-v1;10:vocabulary=3:258;7:context=2:64;6:layers=1:1;9:model_dim=1:8;"
    "7:ffn_dim=2:16;11:query_heads=1:2;8:kv_heads=1:1;8:head_dim=1:4;13:position_kind=1:0;"
    "9:rope_base=5:10000;18:normalization_kind=1:0;21:normalization_epsilon=22:1.0000000000000001e-05;"
    "12:feed_forward=1:1;13:weights_dtype=1:0;17:activations_dtype=1:0;14:kv_cache_dtype=1:0;"
    "15:tied_embeddings=1:1;10:port_count=1:2;9:port_name=6:tokens;14:port_direction=1:0;9:port_kind=1:0;"
    "10:port_width=1:1;11:port_schema=8:tokens/1;9:port_name=6:logits;14:port_direction=1:1;"
    "9:port_kind=1:2;10:port_width=3:258;11:port_schema=8:logits/1;";

TEST(VestraHash, WorkedValues) {
    EXPECT_EQ(vestraFnv1a64(std::string_view()), 0x14650fb0739d0383ULL);
    EXPECT_EQ(vestraFnv1a64("abc"), 0xe16801510db89efdULL);
    const std::uint8_t bytes[] = {'a', 'b', 'c'};
    EXPECT_EQ(vestraFnv1a64(std::span<const std::uint8_t>(bytes)), 0xe16801510db89efdULL);
    // Hashing in pieces is the same as hashing the whole.
    EXPECT_EQ(vestraFnv1a64Extend(vestraFnv1a64("a"), std::span<const std::uint8_t>(bytes).subspan(1)),
              0xe16801510db89efdULL);
}

TEST(IdentityText, GeneralFormatAtSeventeenDigits) {
    EXPECT_EQ(identityDouble(10000.0), "10000");
    EXPECT_EQ(identityDouble(1e-5), "1.0000000000000001e-05");
    EXPECT_EQ(identityDouble(0.9), "0.90000000000000002");
    EXPECT_EQ(identityDouble(1e-8), "1e-08");
    EXPECT_EQ(identityDouble(1.0), "1");
    EXPECT_EQ(identityDouble(0.0001), "0.0001");
    EXPECT_EQ(identityDouble(1e17), "1e+17");
    EXPECT_EQ(identityDouble(-2.5e-300), "-2.5e-300");

    // Agrees with the C library's %.17g (in the C locale) across magnitudes and bit patterns.
    std::uint64_t bits = 0x9e3779b97f4a7c15ULL;
    for (int i = 0; i < 2000; ++i) {
        bits ^= bits << 13, bits ^= bits >> 7, bits ^= bits << 17;
        const double value = std::bit_cast<double>(bits);
        if (!std::isfinite(value))
            continue;
        char expected[64];
        std::snprintf(expected, sizeof expected, "%.17g", value);
        ASSERT_EQ(identityDouble(value), expected);
    }
}

TEST(TransformerSpec, SmallSpecIdentityFingerprintAndCount) {
    const TransformerSpec spec = fixtureSpec();
    EXPECT_TRUE(validateTransformerSpec(spec).empty());
    EXPECT_EQ(transformerSpecIdentity(spec), fixtureSpecIdentity);
    EXPECT_EQ(transformerSpecFingerprint(spec), 0x2f2a7f8d28135c50ULL);
    const TransformerParameterCount count = transformerParameterCount(spec);
    EXPECT_EQ(count.count, 2664u);
    EXPECT_FALSE(count.overflow);

    TransformerSpec untied = spec;
    untied.tied_embeddings = false;
    untied.feed_forward = FeedForwardKind::Gelu;
    EXPECT_EQ(transformerParameterCount(untied).count, 2664u + 2064u - 128u);
}

TEST(TransformerSpec, IdentityIsLocaleIndependent) {
    struct GermanNumbers : std::numpunct<char> {
        char do_decimal_point() const override { return ','; }
        char do_thousands_sep() const override { return '.'; }
        std::string do_grouping() const override { return "\3"; }
    };
    const std::locale previous = std::locale::global(std::locale(std::locale::classic(), new GermanNumbers));
    const std::string previousC = std::setlocale(LC_ALL, nullptr);
    std::setlocale(LC_ALL, "de_DE.UTF-8");  // where installed; the C++ facet above applies regardless
    const std::string identity = transformerSpecIdentity(fixtureSpec());
    std::setlocale(LC_ALL, previousC.c_str());
    std::locale::global(previous);
    EXPECT_EQ(identity, fixtureSpecIdentity);
}

TEST(TransformerSpec, IdentityCoversEveryPortField) {
    const std::string base = transformerSpecIdentity(fixtureSpec());
    TransformerSpec changed = fixtureSpec();
    changed.ports[1].schema = "logits/2";
    EXPECT_NE(transformerSpecIdentity(changed), base);
    changed = fixtureSpec();
    changed.ports[0].name = "tokenz";
    EXPECT_NE(transformerSpecFingerprint(changed), transformerSpecFingerprint(fixtureSpec()));
}

TEST(TransformerSpecValidation, AllZeroSpecYieldsTwelveIssuesInOrder) {
    const TransformerSpec zero{};
    const Issues expected = {
        {"vocabulary", "must be greater than zero"},
        {"context", "must be greater than zero"},
        {"layers", "must be greater than zero"},
        {"model_dim", "must be greater than zero"},
        {"ffn_dim", "must be greater than zero"},
        {"query_heads", "must be greater than zero"},
        {"kv_heads", "must be greater than zero"},
        {"head_dim", "must be greater than zero"},
        {"position.rope_base", "must be finite and greater than zero"},
        {"normalization.epsilon", "must be finite and greater than zero"},
        {"ports", "at least one input port is required"},
        {"ports", "at least one output port is required"},
    };
    EXPECT_EQ(validateTransformerSpec(zero), expected);
}

TEST(TransformerSpecValidation, DimensionAndEnumFindings) {
    TransformerSpec spec = fixtureSpec();
    spec.kv_heads = 3;
    EXPECT_EQ(validateTransformerSpec(spec),
              (Issues{{"kv_heads", "must not exceed query_heads"}, {"kv_heads", "must divide query_heads exactly"}}));

    spec = fixtureSpec();
    spec.head_dim = 3;
    spec.model_dim = 6;
    spec.ports[1].width = 258;
    EXPECT_EQ(validateTransformerSpec(spec), (Issues{{"head_dim", "must be even for RoPE"}}));

    spec = fixtureSpec();
    spec.model_dim = 9;
    spec.position.kind = static_cast<PositionKind>(1);
    spec.normalization.kind = static_cast<NormalizationKind>(7);
    spec.feed_forward = static_cast<FeedForwardKind>(2);
    spec.precision.activations = static_cast<PrecisionKind>(3);
    spec.precision.kv_cache = static_cast<PrecisionKind>(255);
    EXPECT_EQ(validateTransformerSpec(spec), (Issues{
                                                 {"model_dim", "must equal query_heads * head_dim"},
                                                 {"position.kind", "unknown position encoding"},
                                                 {"normalization.kind", "unknown normalization"},
                                                 {"feed_forward", "unknown feed-forward kind"},
                                                 {"precision.activations", "unknown dtype"},
                                                 {"precision.kv_cache", "unknown dtype"},
                                             }));

    spec = fixtureSpec();
    spec.precision = {PrecisionKind::Float32, PrecisionKind::Bf16, PrecisionKind::Bf16};
    EXPECT_TRUE(validateTransformerSpec(spec).empty());
}

TEST(TransformerSpecValidation, PositiveFiniteScalars) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (const double bad : {nan, inf, -inf, 0.0, -0.0, -1.0}) {
        TransformerSpec spec = fixtureSpec();
        spec.position.rope_base = bad;
        spec.normalization.epsilon = bad;
        EXPECT_EQ(validateTransformerSpec(spec),
                  (Issues{{"position.rope_base", "must be finite and greater than zero"},
                          {"normalization.epsilon", "must be finite and greater than zero"}}))
            << bad;
    }
    TransformerSpec tiny = fixtureSpec();
    tiny.position.rope_base = 1e-300;
    tiny.normalization.epsilon = std::numeric_limits<double>::denorm_min();
    EXPECT_TRUE(validateTransformerSpec(tiny).empty());
}

TEST(TransformerSpecValidation, PortFindings) {
    TransformerSpec spec = fixtureSpec();
    spec.ports = {
        {"a", PortDirection::Input, PortKind::TokenIds, 1, ""},
        {"a", PortDirection::Output, PortKind::Logits, 258, ""},
        {"a", PortDirection::Output, PortKind::Logits, 258, ""},
    };
    EXPECT_EQ(validateTransformerSpec(spec),
              (Issues{{"ports[1].name", "must be unique"}, {"ports[2].name", "must be unique"}}));

    spec.ports = {
        {"", static_cast<PortDirection>(2), static_cast<PortKind>(3), 0, ""},
        {"logits", PortDirection::Input, PortKind::Logits, 7, ""},
        {"ids", PortDirection::Output, PortKind::TokenIds, 2, ""},
        {"embedding", PortDirection::Input, PortKind::Embedding, 5, ""},
    };
    EXPECT_EQ(validateTransformerSpec(spec), (Issues{
                                                 {"ports[0].name", "must not be empty"},
                                                 {"ports[0].direction", "unknown direction"},
                                                 {"ports[0].kind", "unknown port kind"},
                                                 {"ports[0].width", "must be greater than zero"},
                                                 {"ports[1].width", "logits width must equal vocabulary"},
                                                 {"ports[1].direction", "logits must be an output"},
                                                 {"ports[2].width", "token_ids width must be one"},
                                                 {"ports[2].direction", "token_ids must be an input"},
                                                 {"ports[3].width", "embedding width must equal model_dim"},
                                                 {"ports[3].schema", "embedding ports require a schema"},
                                             }));

    spec.ports = {{"only-input", PortDirection::Input, PortKind::TokenIds, 1, ""}};
    EXPECT_EQ(validateTransformerSpec(spec), (Issues{{"ports", "at least one output port is required"}}));
}

TEST(TransformerSpecValidation, ParameterCountOverflow) {
    TransformerSpec spec = fixtureSpec();
    spec.vocabulary = 0xFFFFFFFFu;
    spec.model_dim = 0xFFFFFFFEu;
    spec.query_heads = 1;
    spec.head_dim = 0xFFFFFFFEu;
    spec.kv_heads = 1;
    spec.ports[1].width = spec.vocabulary;
    EXPECT_TRUE(transformerParameterCount(spec).overflow);
    EXPECT_EQ(validateTransformerSpec(spec), (Issues{{"dimensions", "parameter count overflows uint64"}}));

    // The largest counts that still fit are not flagged.
    TransformerSpec wide = fixtureSpec();
    wide.vocabulary = 0xFFFFFFFFu;
    wide.ports[1].width = wide.vocabulary;
    EXPECT_FALSE(transformerParameterCount(wide).overflow);
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
