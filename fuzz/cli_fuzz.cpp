// SPDX-License-Identifier: GPL-3.0-or-later
// corvale-sync's command line: one argument per NUL-separated piece of the input.
#include "fuzzsupport.h"

#include "cli/clioptions.h"

#include <cmath>

using namespace corvale::cli;
using corvale::fuzz::require;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    corvale::fuzz::ensureApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    QStringList arguments = corvale::fuzz::argumentsOf(data, size);
    arguments.prepend(QStringLiteral("corvale-sync"));
    const ParseOutcome outcome = parseArguments(arguments);
    if (outcome.action != ParseOutcome::Action::run)
        return 0;
    const CliOptions& options = outcome.options;
    require(options.demo || !options.reference.isEmpty() || arguments.contains(QString()),
            "a run has a reference or is a demo");
    if (options.normalizeTarget)
        require(std::isfinite(*options.normalizeTarget), "a finite loudness target");
    if (options.labelNumber)
        require(*options.labelNumber >= 1 && *options.labelNumber <= 7, "a known label");
    return 0;
}
