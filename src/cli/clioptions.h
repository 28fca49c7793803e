// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace corvale::cli {

struct CliOptions {
    QString reference;
    QStringList files;
    QString outputFolder;
    QString ffmpegPath; // empty: the located one
    bool json = false;
    bool demo = false;
    QString demoFolder;                    // empty: a new folder in the temp directory
    std::optional<double> normalizeTarget; // set: normalise to this target
    bool noNormalize = false;
    std::optional<int> labelNumber; // set: give outputs this colour label
    bool noLabel = false;
    bool fullNames = false;
    bool noAutoPopulate = false;
    bool noSound = false;
    std::optional<bool> precise; // set: sample-accurate alignment on or off for this run
};

struct ParseOutcome {
    enum class Action { run, help, version, usageError };
    Action action = Action::run;
    CliOptions options;
    QString text; // help or version text, or the usage error
};

// Parses the command line (arguments[0] is the program). Never exits the process.
[[nodiscard]] ParseOutcome parseArguments(const QStringList& arguments);

// Label numbers by name or number: "green" or "2"; nullopt for anything else.
[[nodiscard]] std::optional<int> parseLabel(const QString& text);

} // namespace corvale::cli
