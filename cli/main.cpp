// vestra: train a small byte-level transformer on a text file, resume it, sample from it, evaluate
// it and inspect its files. Every failure is one line on standard error and a non-zero status. Under
// mpirun, the processes train one model: a failure every rank reaches together is reported once, by
// rank 0; a failure of one rank ends the whole job.
#include <exception>
#include <iostream>

#include "cli/command_line.h"
#include "cli/process_group.h"

int main(int argc, char** argv) {
    namespace Cli = Halcyne::Core::Vestra::Cli;
    try {
        return Cli::runCommandLine(argc, argv);
    } catch (const Cli::AgreedFailure& error) {
        if (Cli::ProcessGroup::instance().root()) {
            std::cerr << "vestra: " << error.what() << '\n';
        }
        return Cli::exitFailure;
    } catch (const std::exception& error) {
        std::cerr << "vestra: " << error.what() << '\n';
        if (Cli::ProcessGroup::instance().ranks() > 1) {
            std::cerr.flush();
            Cli::ProcessGroup::instance().abort(Cli::exitFailure);
        }
        return Cli::exitFailure;
    }
}
