// Umbrella header of the Vestra host library.
#pragma once

#include "artifacts/byte_tokenizer.h"
#include "artifacts/vtm_artifact.h"
#include "core/byte_writer.h"
#include "core/hash.h"
#include "core/identity_text.h"
#include "core/tensor.h"
#include "core/transformer_spec.h"
#include "core/transformer_weights.h"
#include "training/training_config.h"
