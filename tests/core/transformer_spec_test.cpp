#include "core/transformer_spec.h"

#include <gtest/gtest.h>

#include <bit>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <functional>
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

TEST(VestraHash, WorkedValuesAndExtension) {
    EXPECT_EQ(vestraFnv1a64(std::string_view()), 0x14650fb0739d0383ULL);
    EXPECT_EQ(vestraFnv1a64("abc"), 0xe16801510db89efdULL);
    const std::uint8_t bc[] = {'b', 'c'};
    EXPECT_EQ(vestraFnv1a64Extend(vestraFnv1a64("a"), std::span<const std::uint8_t>(bc)), 0xe16801510db89efdULL);
}

TEST(IdentityText, GeneralFormatAtSeventeenDigits) {
    EXPECT_EQ(identityDouble(1e17), "1e+17");

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

TEST(TransformerSpecValidation, AllZeroSpecYieldsTwelveIssuesInOrder) {
    Issues expected;
    for (const char* field :
         {"vocabulary", "context", "layers", "model_dim", "ffn_dim", "query_heads", "kv_heads", "head_dim"}) {
        expected.push_back({field, "must be greater than zero"});
    }
    expected.insert(expected.end(), {{"position.rope_base", "must be finite and greater than zero"},
                                     {"normalization.epsilon", "must be finite and greater than zero"},
                                     {"ports", "at least one input port is required"},
                                     {"ports", "at least one output port is required"}});
    EXPECT_EQ(validateTransformerSpec(TransformerSpec{}), expected);
}

// Each change to the fixture spec and the issues it yields, in order.
TEST(TransformerSpecValidation, FindingsOfEachChange) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const Issues badScalars = {{"position.rope_base", "must be finite and greater than zero"},
                               {"normalization.epsilon", "must be finite and greater than zero"}};
    struct Case {
        std::function<void(TransformerSpec&)> change;
        Issues expected;
    };
    const std::vector<Case> cases = {
        {[](auto& s) { s.kv_heads = 3; },
         {{"kv_heads", "must not exceed query_heads"}, {"kv_heads", "must divide query_heads exactly"}}},
        {[](auto& s) { s.head_dim = 3, s.model_dim = 6; }, {{"head_dim", "must be even for RoPE"}}},
        {[](auto& s) {
             s.model_dim = 9;
             s.position.kind = static_cast<PositionKind>(1);
             s.normalization.kind = static_cast<NormalizationKind>(7);
             s.feed_forward = static_cast<FeedForwardKind>(2);
             s.precision.activations = static_cast<PrecisionKind>(3);
             s.precision.kv_cache = static_cast<PrecisionKind>(255);
         },
         {{"model_dim", "must equal query_heads * head_dim"},
          {"position.kind", "unknown position encoding"},
          {"normalization.kind", "unknown normalization"},
          {"feed_forward", "unknown feed-forward kind"},
          {"precision.activations", "unknown dtype"},
          {"precision.kv_cache", "unknown dtype"}}},
        {[](auto& s) {
             s.precision = {PrecisionKind::Float32, PrecisionKind::Bf16, PrecisionKind::Bf16};
         },
         {}},
        {[&](auto& s) { s.position.rope_base = nan, s.normalization.epsilon = inf; }, badScalars},
        {[](auto& s) { s.position.rope_base = -0.0, s.normalization.epsilon = -1.0; }, badScalars},
        {[](auto& s) { s.position.rope_base = 1e-300, s.normalization.epsilon = 5e-324; }, {}},
        {[](auto& s) {
             s.ports = {{"a", PortDirection::Input, PortKind::TokenIds, 1, ""},
                        {"a", PortDirection::Output, PortKind::Logits, 258, ""},
                        {"a", PortDirection::Output, PortKind::Logits, 258, ""}};
         },
         {{"ports[1].name", "must be unique"}, {"ports[2].name", "must be unique"}}},
        {[](auto& s) {
             s.ports = {{"", static_cast<PortDirection>(2), static_cast<PortKind>(3), 0, ""},
                        {"logits", PortDirection::Input, PortKind::Logits, 7, ""},
                        {"ids", PortDirection::Output, PortKind::TokenIds, 2, ""},
                        {"embedding", PortDirection::Input, PortKind::Embedding, 5, ""}};
         },
         {{"ports[0].name", "must not be empty"},
          {"ports[0].direction", "unknown direction"},
          {"ports[0].kind", "unknown port kind"},
          {"ports[0].width", "must be greater than zero"},
          {"ports[1].width", "logits width must equal vocabulary"},
          {"ports[1].direction", "logits must be an output"},
          {"ports[2].width", "token_ids width must be one"},
          {"ports[2].direction", "token_ids must be an input"},
          {"ports[3].width", "embedding width must equal model_dim"},
          {"ports[3].schema", "embedding ports require a schema"}}},
        {[](auto& s) { s.ports.pop_back(); }, {{"ports", "at least one output port is required"}}},
        // The largest counts that still fit are not flagged.
        {[](auto& s) { s.vocabulary = s.ports[1].width = 0xFFFFFFFFu; }, {}},
        {[](auto& s) {
             s.vocabulary = s.ports[1].width = 0xFFFFFFFFu;
             s.model_dim = s.head_dim = 0xFFFFFFFEu;
             s.query_heads = 1;
         },
         {{"dimensions", "parameter count overflows uint64"}}},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        TransformerSpec spec = fixtureSpec();
        cases[i].change(spec);
        EXPECT_EQ(validateTransformerSpec(spec), cases[i].expected) << "case " << i;
        EXPECT_EQ(transformerParameterCount(spec).overflow, i + 1 == cases.size()) << "case " << i;
    }
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
