// vestra: train a small byte-level transformer on a text file, resume it, sample from it, evaluate
// it and inspect its files. Every failure is one line on standard error and a non-zero status.
#include <exception>
#include <iostream>

#include "cli/command_line.h"

int main(int argc, char** argv) {
    namespace Cli = Halcyne::Core::Vestra::Cli;
    try {
        return Cli::runCommandLine(argc, argv);
    } catch (const std::exception& error) {
        std::cerr << "vestra: " << error.what() << '\n';
        return Cli::exitFailure;
    }
}
