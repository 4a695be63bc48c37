// vesk-dnsd: the filtering DNS daemon. Started by launchd with its options on the
// command line; runs until SIGTERM or SIGINT.
#include <unistd.h>

#include <string>
#include <vector>

#include "VeskPlatform/Files.hpp"
#include "vesk_dnsd/Daemon.hpp"
#include "vesk_dnsd/Options.hpp"

namespace {

// The only writer to standard error: one line, one write, so lines never interleave.
void stderrLine(const std::string& text) { vesk::Files::writeAll(STDERR_FILENO, text + "\n"); }

}  // namespace

int main(int argc, char** argv) {
    using vesk::Settings;
    Settings settings = vesk::parseArguments(std::vector<std::string>(argv + 1, argv + argc), stderrLine);
    switch (settings.request) {
        case Settings::Request::help:
            return vesk::Files::writeAll(STDOUT_FILENO, vesk::helpText()) ? 0 : 1;
        case Settings::Request::version:
            return vesk::Files::writeAll(STDOUT_FILENO, "vesk-dnsd " VESK_VERSION "\n") ? 0 : 1;
        case Settings::Request::serve:
            break;
    }
    return vesk::Daemon(std::move(settings), stderrLine).run();
}
