// SPDX-License-Identifier: GPL-3.0-or-later
// corvale-sync: the command-line front end over the same session as the desktop application.
#include "clioptions.h"
#include "clirun.h"
#include "demosession.h"

#include "audio/ffmpeglocator.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTextStream>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

using namespace corvale::cli;

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int signal) {
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] const auto ignored = ::write(g_signalPipe[1], &byte, 1);
}

} // namespace

int main(int argc, char** argv) {
    // A reader that went away (corvale-sync … | head) is noticed as a failed write, which
    // cancels the run cleanly, instead of killing the process mid-write.
    ::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Corvale"));
    QCoreApplication::setApplicationName(QStringLiteral("Corvale"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CORVALE_VERSION));
    QTextStream out(stdout);
    QTextStream err(stderr);

    ParseOutcome parsed = parseArguments(app.arguments());
    switch (parsed.action) {
    case ParseOutcome::Action::help:
    case ParseOutcome::Action::version:
        out << parsed.text << Qt::endl;
        return exitOk;
    case ParseOutcome::Action::usageError:
        err << "corvale-sync: " << parsed.text << "\nTry 'corvale-sync --help'." << Qt::endl;
        return exitUsage;
    case ParseOutcome::Action::run:
        break;
    }
    CliOptions options = parsed.options;
    if (options.demo) {
        const auto ffmpeg = options.ffmpegPath.isEmpty() ? corvale::findFFmpeg()
                                                         : std::optional(options.ffmpegPath);
        if (!ffmpeg) {
            err << "corvale-sync: ffmpeg not found. Install it with: sudo apt install ffmpeg"
                << Qt::endl;
            return exitFailed;
        }
        err << "Generating a demo session…" << Qt::endl;
        const DemoSession demo = createDemoSession(options.demoFolder, *ffmpeg);
        if (!demo.error.isEmpty()) {
            err << "corvale-sync: " << demo.error << Qt::endl;
            return exitFailed;
        }
        err << "Demo session in " << demo.folder << Qt::endl;
        options.reference = demo.reference;
        options.files = demo.files;
        options.outputFolder = demo.outputFolder;
        options.noAutoPopulate = true;
    }

    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) == 0) {
        struct sigaction action {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        // Every signal whose default action would end the process mid-write, leaving the
        // temporary folder and children behind, ends the run as cleanly as Ctrl-C: a closed
        // terminal, a dropped SSH session, a CPU limit, a stray kill -USR1. Faults (SEGV and
        // the like) keep their default.
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM,
                                 SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO, SIGPWR, SIGSTKFLT})
            ::sigaction(signal, &action, nullptr);
        for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
            ::sigaction(signal, &action, nullptr);
    }
    CliRun run(options, out, err, ::isatty(STDERR_FILENO) == 1);
    QSocketNotifier notifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &run, [&] {
        char byte = 0;
        if (::read(g_signalPipe[0], &byte, 1) == 1)
            run.interrupt(static_cast<unsigned char>(byte));
    });
    int code = exitOk;
    QObject::connect(&run, &CliRun::finished, &app, [&](int exitCode) {
        code = exitCode;
        QCoreApplication::exit(exitCode);
    });
    QMetaObject::invokeMethod(&run, &CliRun::start, Qt::QueuedConnection);
    app.exec();
    return code;
}
