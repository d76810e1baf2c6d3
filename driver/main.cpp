// transformer_cuda_training_test: the verification driver. No arguments, no files; one line on
// standard output and status 0 when every parity scenario passes, one line on standard error and
// status 1 at the first failure.
#include <iostream>

#include "driver/verification_run.h"

int main() {
    return Halcyne::Core::Vestra::runVerification(std::cout, std::cerr);
}
