// SPDX-License-Identifier: GPL-3.0-or-later
#include "clioptions.h"

#include "audio/loudnessgain.h"
#include "session/preferences.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cmath>

namespace corvale::cli {

std::optional<int> parseLabel(const QString& text) {
    bool isNumber = false;
    const int number = text.toInt(&isNumber);
    if (isNumber)
        return number >= 1 && number <= 7 ? std::optional<int>(number) : std::nullopt;
    for (int n = 1; n <= 7; ++n) {
        if (Preferences::labelName(n).compare(text, Qt::CaseInsensitive) == 0)
            return n;
    }
    return std::nullopt;
}

ParseOutcome parseArguments(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Lines up separately recorded tracks with a reference recording and writes one synced\n"
        "mono WAV per track (or per channel of a two-voice stereo track, or per split "
        "recording).\n\n"
        "Exit status: 0 when every file was placed with nothing to review, 1 when a file,\n"
        "an output or a finishing step failed, 2 on a usage error, 3 when the run completed\n"
        "but a file needs review or was not found in the reference, and 128 + the signal's\n"
        "number when the run was stopped."));
    parser.addPositionalArgument(QStringLiteral("REFERENCE"),
                                 QStringLiteral("The recording that holds every voice."));
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("Files to sync."),
                                 QStringLiteral("[FILE...]"));
    const QCommandLineOption output({QStringLiteral("o"), QStringLiteral("output")},
                                    QStringLiteral("Write outputs into DIR (default: the "
                                                   "reference's folder)."),
                                    QStringLiteral("DIR"));
    const QCommandLineOption json(
        QStringLiteral("json"),
        QStringLiteral("Print the full results as JSON on standard output."));
    const QCommandLineOption demo(QStringLiteral("demo"),
                                  QStringLiteral("Generate a demo session (in DIR if given, which "
                                                 "must be new or empty) and sync it."));
    const QCommandLineOption normalize(QStringLiteral("normalize"),
                                       QStringLiteral("Normalise every output to LUFS (e.g. -16)."),
                                       QStringLiteral("LUFS"));
    const QCommandLineOption noNormalize(QStringLiteral("no-normalize"),
                                         QStringLiteral("Do not normalise loudness."));
    const QCommandLineOption label(QStringLiteral("label"),
                                   QStringLiteral("Tag outputs with a colour label: gray, green, "
                                                  "purple, blue, yellow, red, orange or 1-7."),
                                   QStringLiteral("COLOR"));
    const QCommandLineOption noLabel(QStringLiteral("no-label"),
                                     QStringLiteral("Do not tag outputs with a colour label."));
    const QCommandLineOption fullNames(QStringLiteral("full-names"),
                                       QStringLiteral("Keep full file names (no cut at \" - \")."));
    const QCommandLineOption noAuto(
        QStringLiteral("no-auto-populate"),
        QStringLiteral("Do not add files found next to the reference."));
    const QCommandLineOption noSound(QStringLiteral("no-sound"),
                                     QStringLiteral("Do not play the completion sound."));
    const QCommandLineOption ffmpeg(QStringLiteral("ffmpeg"),
                                    QStringLiteral("Use this ffmpeg executable."),
                                    QStringLiteral("PATH"));
    const QCommandLineOption precise(
        QStringLiteral("precise"),
        QStringLiteral("Align every file to the sample and follow its clock (the default)."));
    const QCommandLineOption noPrecise(
        QStringLiteral("no-precise"),
        QStringLiteral("Place files by the coarse analysis only (0.1 s steps)."));
    parser.addOptions({output, ffmpeg, json, demo, normalize, noNormalize, label, noLabel,
                       fullNames, noAuto, noSound, precise, noPrecise});
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();

    ParseOutcome outcome;
    auto usageError = [&](const QString& text) {
        outcome.action = ParseOutcome::Action::usageError;
        outcome.text = text;
        return outcome;
    };
    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (parser.isSet(help)) {
        outcome.action = ParseOutcome::Action::help;
        outcome.text = parser.helpText();
        return outcome;
    }
    if (parser.isSet(version)) {
        outcome.action = ParseOutcome::Action::version;
        outcome.text = QCoreApplication::applicationName() + QLatin1Char(' ') +
                       QCoreApplication::applicationVersion();
        return outcome;
    }
    CliOptions& o = outcome.options;
    const QStringList positional = parser.positionalArguments();
    o.outputFolder = parser.value(output);
    o.ffmpegPath = parser.value(ffmpeg);
    o.json = parser.isSet(json);
    o.demo = parser.isSet(demo);
    o.noNormalize = parser.isSet(noNormalize);
    o.noLabel = parser.isSet(noLabel);
    o.fullNames = parser.isSet(fullNames);
    o.noAutoPopulate = parser.isSet(noAuto);
    o.noSound = parser.isSet(noSound);
    if (parser.isSet(normalize)) {
        bool ok = false;
        const double target = parser.value(normalize).toDouble(&ok);
        if (!ok || !std::isfinite(target) || target > kLoudestTargetLUFS ||
            target < kQuietestTargetLUFS)
            return usageError(QStringLiteral("--normalize needs a loudness between %1 and %2 "
                                             "LUFS, such as -16")
                                  .arg(kQuietestTargetLUFS)
                                  .arg(kLoudestTargetLUFS));
        o.normalizeTarget = target;
    }
    if (o.normalizeTarget && o.noNormalize)
        return usageError(QStringLiteral("--normalize and --no-normalize exclude each other"));
    if (parser.isSet(label)) {
        o.labelNumber = parseLabel(parser.value(label));
        if (!o.labelNumber)
            return usageError(QStringLiteral("Unknown colour label: %1").arg(parser.value(label)));
    }
    if (parser.isSet(precise) && parser.isSet(noPrecise))
        return usageError(QStringLiteral("--precise and --no-precise exclude each other"));
    if (parser.isSet(precise) || parser.isSet(noPrecise))
        o.precise = parser.isSet(precise);
    if (o.labelNumber && o.noLabel)
        return usageError(QStringLiteral("--label and --no-label exclude each other"));
    if (o.demo) {
        if (positional.size() > 1)
            return usageError(QStringLiteral("--demo takes at most one folder"));
        o.demoFolder = positional.value(0);
        return outcome;
    }
    // The files to sync may all come from the search next to the reference.
    if (positional.isEmpty())
        return usageError(QStringLiteral("Missing the reference and the files to sync"));
    o.reference = positional.front();
    o.files = positional.mid(1);
    return outcome;
}

} // namespace corvale::cli
