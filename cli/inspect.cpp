#include "cli/inspect.h"

#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "artifacts/byte_tokenizer.h"
#include "artifacts/vtm_artifact.h"
#include "artifacts/vtm_reader.h"
#include "cli/file_io.h"
#include "cli/run_directory.h"
#include "cli/run_settings.h"
#include "core/byte_reader.h"
#include "training/training_config.h"
#include "training/vtt_checkpoint.h"

namespace Halcyne::Core::Vestra::Cli {
namespace {

std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

void line(std::ostream& out, std::string_view label, const std::string& value) {
    out << label << std::string(label.size() < 12 ? 12 - label.size() : 1, ' ') << value << '\n';
}

std::string describeSpec(const TransformerSpec& spec) {
    const auto number = [](std::uint32_t value) { return std::to_string(value); };
    return "layers " + number(spec.layers) + ", model_dim " + number(spec.model_dim) + ", heads " +
           number(spec.query_heads) + " x " + number(spec.head_dim) + " over " + number(spec.kv_heads) + " KV, " +
           (spec.feed_forward == FeedForwardKind::SwiGlu ? "SwiGLU" : "GELU") + " ffn_dim " + number(spec.ffn_dim) +
           ", context " + number(spec.context) + ", vocabulary " + number(spec.vocabulary) +
           (spec.tied_embeddings ? ", tied embeddings" : ", untied embeddings") +
           (spec.precision.activations == PrecisionKind::Bf16 ? ", BF16 activations" : "");
}

// The fingerprint line, with what the run files beside the file say of it.
std::string fingerprintNote(std::uint64_t fingerprint, std::optional<std::uint64_t> expected, const char* file) {
    std::string text = hex(fingerprint);
    if (expected) {
        text += *expected == fingerprint ? std::string(" (matches ") + file + ")"
                                         : std::string(" (differs from ") + file + ")";
    }
    return text;
}

std::string checksumNote(std::uint64_t stored, std::uint64_t computed) {
    return stored == computed ? "ok (" + hex(stored) + ")"
                              : "MISMATCH (stored " + hex(stored) + ", computed " + hex(computed) + ")";
}

[[noreturn]] void refuse(const std::filesystem::path& file, const std::string& what) {
    throw std::runtime_error(displayPath(file) + ": " + what);
}

// The run that a file lies in, when its directory holds one.
struct Neighbours {
    std::optional<TransformerSpec> spec;
    std::optional<RunSettings> settings;
};

Neighbours neighboursOf(const std::filesystem::path& file) {
    Neighbours found;
    const RunDirectory run(file.parent_path().empty() ? "." : file.parent_path());
    if (!RunDirectory::holdsRun(run.root())) {
        return found;
    }
    try {
        found.spec = readModelSpec(run.modelFile());
        found.settings = readRunSettings(run.modelFile(), run.trainingFile());
    } catch (const std::exception&) {  // a description does without the run's files
    }
    return found;
}

void inspectCheckpoint(const std::filesystem::path& file, std::span<const std::uint8_t> bytes, std::ostream& out) {
    line(out, "file", displayPath(file) + ": VTT checkpoint, " + std::to_string(bytes.size()) + " bytes");
    VttSummary summary;
    try {
        summary = summarizeVttImage(bytes);
    } catch (const std::invalid_argument& error) {
        refuse(file, error.what());
    }
    const Neighbours run = neighboursOf(file);
    line(out, "checksum", checksumNote(summary.storedChecksum, summary.computedChecksum));
    std::optional<std::uint64_t> spec;
    std::optional<std::uint64_t> config;
    if (run.settings) {
        spec = transformerSpecFingerprint(run.settings->spec);
        config = trainingConfigFingerprint(run.settings->config);
        line(out, "model", describeSpec(run.settings->spec));
    }
    line(out, "spec", fingerprintNote(summary.specFingerprint, spec, "model.json"));
    line(out, "config", fingerprintNote(summary.configFingerprint, config, "training.json"));
    const TrainingCounters& counters = summary.counters;
    line(out, "steps", std::to_string(counters.steps));
    line(out, "examples", std::to_string(counters.examplesSeen) + " windows seen");
    line(out, "data order", hex(counters.dataOrderState));
    line(out, "window", std::to_string(counters.accumulatedBatches) + " batches accumulated since the last step");
    line(out, "tensors", std::to_string(summary.tensorsPerSet) + " per set (weights, two moments, gradient sum)");
    line(out, "parameters", std::to_string(summary.parameters));
    if (summary.storedChecksum != summary.computedChecksum) {
        refuse(file, kVttMessages.checksum);
    }
}

std::string shapeText(const Extents& shape) {
    std::string text = "[";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        text += (i ? ", " : "") + std::to_string(shape[i]);
    }
    return text + "]";
}

void inspectArtifact(const std::filesystem::path& file, std::span<const std::uint8_t> bytes, std::ostream& out) {
    line(out, "file", displayPath(file) + ": VTM artifact, " + std::to_string(bytes.size()) + " bytes");
    VtmContents contents;
    try {
        contents = readVtmArtifact(bytes);
    } catch (const std::invalid_argument& error) {
        if (bytes.size() >= vtmHeaderSize) {
            ByteReader header(bytes.subspan(vtmChecksumOffset, 8), "");
            line(out, "checksum", checksumNote(header.u64(), vtmArtifactChecksum(bytes)));
        }
        refuse(file, error.what());
    }
    const Neighbours run = neighboursOf(file);
    line(out, "checksum", checksumNote(contents.checksum, contents.checksum) + ", every tensor checksum ok");
    std::optional<std::uint64_t> spec;
    if (run.spec) {
        spec = transformerSpecFingerprint(*run.spec);
        line(out, "model", describeSpec(*run.spec));
    }
    line(out, "spec", fingerprintNote(contents.specFingerprint, spec, "model.json"));
    const std::string byteTokenizer = ByteTokenizer().contract().fingerprint;
    line(out, "tokenizer",
         !contents.tokenizerFingerprint                    ? "none"
         : *contents.tokenizerFingerprint == byteTokenizer ? byteTokenizer + " (byte tokenizer)"
                                                           : *contents.tokenizerFingerprint);
    std::uint64_t parameters = 0;
    for (const VtmTensor& tensor : contents.tensors) {
        parameters += tensor.tensor.values.size();
    }
    line(out, "tensors", std::to_string(contents.tensors.size()));
    line(out, "parameters", std::to_string(parameters));
    for (const VtmTensor& tensor : contents.tensors) {
        line(out, "", "  " + tensor.name + " " + shapeText(tensor.tensor.shape));
    }
}

}  // namespace

void inspectFile(const std::filesystem::path& file, std::ostream& out) {
    const std::string content = readFile(file);
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(content.data()), content.size());
    const std::string_view head(content.data(), std::min<std::size_t>(content.size(), 8));
    if (head == "VSTRVTT1") {
        inspectCheckpoint(file, bytes, out);
    } else if (head == "VSTRVTM1") {
        inspectArtifact(file, bytes, out);
    } else {
        refuse(file, "neither a VTT checkpoint nor a VTM artifact");
    }
}

}  // namespace Halcyne::Core::Vestra::Cli
