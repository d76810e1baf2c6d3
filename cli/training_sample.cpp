#include "cli/training_sample.h"

#include <cstdio>
#include <vector>

#include "artifacts/byte_tokenizer.h"
#include "cli/sampler.h"
#include "core/transformer_model.h"

namespace Halcyne::Core::Vestra::Cli {
namespace {

constexpr std::uint64_t sampleLength = 80;  // a line or two: enough to see words form

// Between quotes on one line: newlines and tabs as \n and \t, other control bytes as \xNN, quotes
// and backslashes escaped; bytes from 0x80 pass, as the text's UTF-8 may hold them.
std::string oneLine(const std::vector<std::uint32_t>& tokens) {
    std::string line;
    for (const std::uint32_t token : tokens) {
        const auto byte = static_cast<unsigned char>(token);
        if (byte == '\n') {
            line += "\\n";
        } else if (byte == '\t') {
            line += "\\t";
        } else if (byte == '\\' || byte == '"') {
            line += '\\';
            line += static_cast<char>(byte);
        } else if (byte < 0x20 || byte == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            line += escaped;
        } else {
            line += static_cast<char>(byte);
        }
    }
    return line;
}

}  // namespace

std::string trainingSample(const TransformerSpec& spec, const TransformerWeights& weights, std::uint64_t step) {
    const TransformerModel model(spec, weights);
    const std::vector<std::uint32_t> prompt = ByteTokenizer().encode(std::string(defaultPrompt), {}).ids;
    SamplingOptions options;
    options.tokens = sampleLength;
    const std::vector<std::uint32_t> drawn = sampleTokens(model, prompt, options);
    return "sample at step " + std::to_string(step) + ": \"" + oneLine(drawn) + "\"";
}

}  // namespace Halcyne::Core::Vestra::Cli
