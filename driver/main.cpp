// Verification driver. The parity scenarios need the device layer, which is not built yet; until
// then the program only proves that the host library links and says what it is waiting for.
#include <cstdio>

#include "vestra.h"

int main() {
    using namespace Halcyne::Core::Vestra;
    const TokenizerContract contract = ByteTokenizer().contract();
    std::printf(
        "transformer_cuda_training_test: host library ready (tokenizer %s); "
        "parity scenarios arrive with the device layer\n",
        contract.fingerprint.c_str());
    return 0;
}
