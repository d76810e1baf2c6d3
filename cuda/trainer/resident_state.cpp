#include "cuda/trainer/resident_state.h"

#include <stdexcept>
#include <utility>

#include "cuda/device_transfers.h"
#include "cuda/trainer/device_elementwise.h"
#include "cuda/transformer_cuda_error.h"

namespace Halcyne::Core::Vestra {
namespace {

// The tensors of a weight-shaped set in canonical order, output embedding only when it holds values.
template <class Weights>
auto canonicalTensors(Weights& set) {
    std::vector<decltype(&set.token_embedding)> tensors;
    forEachWeightTensor(set, [&](const WeightSlot&, auto& tensor) { tensors.push_back(&tensor); });
    return tensors;
}

ResidentParameter residentParameter(const Tensor& tensor, bool decay, const TransformerCudaContext& context) {
    const std::uint64_t count = tensor.values.size();
    ResidentParameter parameter{tensor.shape,
                                DeviceBuffer<double>(context, count),
                                DeviceBuffer<double>(context, count),
                                DeviceBuffer<double>(context, count),
                                DeviceBuffer<double>(context, count),
                                DeviceBuffer<bfloat16>(context, count),
                                decay};
    upload(context, parameter.weights, tensor.values, "upload resident weight");
    launchDoubleToBfloat16(context, parameter.weights.get(), parameter.bf16Mirror.get(), count);
    clear(context, parameter.gradient, "clear resident gradient");
    clear(context, parameter.firstMoment, "clear resident first moment");
    clear(context, parameter.secondMoment, "clear resident second moment");
    return parameter;
}

}  // namespace

ResidentParameterIndices residentParameterIndices(const TransformerWeights& weights, bool tiedEmbeddings) {
    ResidentParameterIndices indices;
    indices.layers.resize(weights.layers.size());
    std::size_t next = 0;
    std::optional<std::size_t> outputEmbedding;
    forEachWeightTensor(weights, [&](const WeightSlot& slot, const Tensor& tensor) {
        if (tensor.empty()) {
            return;
        }
        const std::size_t index = next++;
        ResidentLayerParameters* layer = slot.layer ? &indices.layers[*slot.layer] : nullptr;
        switch (slot.tensor) {
            case WeightTensor::TokenEmbedding:
                indices.tokenEmbedding = index;
                break;
            case WeightTensor::AttentionNorm:
                layer->attentionNorm = index;
                break;
            case WeightTensor::Query:
                layer->query = index;
                break;
            case WeightTensor::Key:
                layer->key = index;
                break;
            case WeightTensor::Value:
                layer->value = index;
                break;
            case WeightTensor::AttentionOutput:
                layer->attentionOutput = index;
                break;
            case WeightTensor::FfnNorm:
                layer->ffnNorm = index;
                break;
            case WeightTensor::FfnGate:
                layer->ffnGate = index;
                break;
            case WeightTensor::FfnUp:
                layer->ffnUp = index;
                break;
            case WeightTensor::FfnDown:
                layer->ffnDown = index;
                break;
            case WeightTensor::FinalNorm:
                indices.finalNorm = index;
                break;
            case WeightTensor::OutputEmbedding:
                outputEmbedding = index;
                break;
        }
    });
    indices.output = tiedEmbeddings || !outputEmbedding ? indices.tokenEmbedding : *outputEmbedding;
    return indices;
}

std::shared_ptr<ResidentState> initializeResidentState(const TransformerWeights& weights,
                                                       TransformerCudaContext& context,
                                                       const CudaModelAdamWState* moments,
                                                       const TransformerWeights* gradients) {
    if ((moments != nullptr && moments->layers.size() != weights.layers.size()) ||
        (gradients != nullptr && gradients->layers.size() != weights.layers.size())) {
        throw std::invalid_argument("resident state sets do not match the weights");
    }
    auto state = std::make_shared<ResidentState>();
    state->context = &context;
    forEachWeightTensor(weights, [&](const WeightSlot& slot, const Tensor& tensor) {
        if (!tensor.empty()) {
            state->parameters.push_back(residentParameter(tensor, slot.decays, context));
        }
    });
    for (const ResidentParameter& parameter : state->parameters) {
        state->weightViews.push_back({parameter.weights.get(), parameter.bf16Mirror.get()});
    }

    const auto weightList = canonicalTensors(weights);
    if (moments != nullptr) {
        const auto momentList = canonicalStates(*moments, !weights.output_embedding.empty());
        std::size_t parameter = 0;
        for (std::size_t i = 0; i < weightList.size() && i < momentList.size(); ++i) {
            if (!weightList[i]->empty()) {
                ResidentParameter& into = state->parameters[parameter++];
                upload(context, into.firstMoment, momentList[i]->firstMoment.values, "restore resident first moment");
                upload(context, into.secondMoment, momentList[i]->secondMoment.values,
                       "restore resident second moment");
            }
        }
    }
    if (gradients != nullptr) {
        const auto gradientList = canonicalTensors(*gradients);
        std::size_t parameter = 0;
        for (std::size_t i = 0; i < weightList.size() && i < gradientList.size(); ++i) {
            if (!weightList[i]->empty()) {
                upload(context, state->parameters[parameter++].gradient, gradientList[i]->values,
                       "restore resident gradient");
            }
        }
    }
    // The mirror launches are not checked one by one: a refused launch is reported here, under
    // the same name as a failed synchronisation.
    checkCuda(cudaGetLastError(), "initialize resident training state");
    synchronize(context, "initialize resident training state");
    return state;
}

void downloadResidentWeights(ResidentState& state, TransformerWeights& weights) {
    const TransformerCudaContext& context = *state.context;
    std::size_t parameter = 0;
    for (Tensor* tensor : canonicalTensors(weights)) {
        if (!tensor->empty()) {
            download(context, tensor->values, state.parameters.at(parameter++).weights, "download resident weights");
        }
    }
    synchronize(context, "synchronize resident weights");
    state.tensorDownloads += parameter;
}

CudaModelAdamWState momentsShapedLike(const TransformerWeights& weights, std::uint64_t steps) {
    CudaModelAdamWState moments;
    moments.layers.resize(weights.layers.size());
    forEachWeightTensor(weights, [&](const WeightSlot& slot, const Tensor& tensor) {
        if (!tensor.empty()) {
            weightSlotMember(moments, slot) = CudaAdamWState{Tensor(tensor.shape), Tensor(tensor.shape), steps};
        }
    });
    return moments;
}

void downloadResidentCheckpointState(ResidentState& state, TransformerWeights& weights, CudaModelAdamWState& moments,
                                     TransformerWeights& gradients, std::uint64_t steps, bool downloadWeights) {
    const TransformerCudaContext& context = *state.context;
    if (moments.layers.size() != weights.layers.size()) {
        moments = momentsShapedLike(weights, steps);
    }
    const auto weightList = canonicalTensors(weights);
    const auto gradientList = canonicalTensors(gradients);
    const auto momentList = canonicalStates(moments, !weights.output_embedding.empty());
    if (gradientList.size() != weightList.size() || momentList.size() != weightList.size()) {
        throw std::invalid_argument("resident checkpoint staging does not match the weights");
    }
    std::size_t parameter = 0;
    for (std::size_t i = 0; i < weightList.size(); ++i) {
        if (weightList[i]->empty()) {
            continue;
        }
        const ResidentParameter& source = state.parameters.at(parameter++);
        if (downloadWeights) {
            download(context, weightList[i]->values, source.weights, "checkpoint resident weight");
        }
        download(context, gradientList[i]->values, source.gradient, "checkpoint resident gradient");
        download(context, momentList[i]->firstMoment.values, source.firstMoment, "checkpoint resident first moment");
        download(context, momentList[i]->secondMoment.values, source.secondMoment, "checkpoint resident second moment");
    }
    for (CudaAdamWState* moment : momentList) {
        if (!moment->firstMoment.empty()) {
            moment->step = steps;
        }
    }
    synchronize(context, "synchronize resident checkpoint");
    state.tensorDownloads += (downloadWeights ? 4 : 3) * parameter;
}

}  // namespace Halcyne::Core::Vestra
