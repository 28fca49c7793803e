// SPDX-License-Identifier: GPL-3.0-or-later
// Requests from the file manager's right-click entry ("corvale://ref?path=…"), back to back,
// each stopped in its own way; the desktop side is real: windows on an X display (run it under
// `xvfb-run -a`), the open panel's answer, the progress floater and its Cancel button, the Quit
// command and SIGTERM. Corvale is this program started with --app: the application as
// corvale's main() builds it (single instance, application, launch wiring), with the open
// panel answered from a file and commands read from its input. The
// first request starts it; later ones reach it through the single-instance socket, as a later
// start of corvale would hand them over; after it has quit, the next request starts it again.
//
// Each request normalises or not, and ends in one of these ways, chosen at random:
//   panel    the open panel is cancelled: the window comes back
//   cancel   the floater's Cancel is pressed at a random moment of the run: the window comes
//            back
//   finish   the run is left to end: the window comes back
//   quit     the Quit command at a random moment: Corvale exits with 0
//   sigterm  SIGTERM at a random moment: Corvale exits with 128 + 15
// After each:
//   window   the window came back (visible, opaque, taking input) or Corvale ended as designed
//   children ffmpeg/ffprobe working on the bench's files, still there 2 s later
//   folders  run folders (Corvale_*) in TMPDIR
//   outputs  anything in the output folder that is hidden, not a readable WAV, or not as long
//            as the same file of a clean run
// Exits 1 when anything leaked or Corvale did not come back or end as designed.
//
//   windowstops_bench [WORKDIR] [REQUESTS] [SEED]   (defaults: a temp folder, 20, the clock)
#include "stopchecks.h"

#include "corvaleapp.h"
#include "launchwiring.h"
#include "mainwindow.h"
#include "menucommands.h"
#include "progressfloaterpanel.h"
#include "progressfloaterview.h"

#include "launch/extensionoffer.h"
#include "launch/launchrequest.h"
#include "launch/singleinstance.h"
#include "session/appviewmodel.h"
#include "session/preferences.h"

#include <QAction>
#include <QApplication>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTextStream>

#include <chrono>
#include <cstdio>
#include <map>
#include <random>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

using namespace corvale;
using namespace corvale::bench;

namespace {

constexpr int kWaitMs = 60000; // for Corvale to come back or end; longer counts as hung

// The Corvale side: main()'s application, answering the open panel with the paths listed in
// the choice file (none: cancelled) and carrying out "cancel" and "quit" read from its input.
int runApp(QApplication& app, const QString& outDir, const QString& choiceFile,
           const QStringList& requestArguments) {
    Preferences::setOverride(QStringLiteral("autoPopulateFiles"), false);
    Preferences::setOverride(QStringLiteral("chimeWhenDone"), false);
    QSettings().setValue(ExtensionOffer::offeredKey, true);
    SingleInstance instance;
    if (!instance.listen())
        return 2;
    CorvaleApp corvale;
    LaunchWiring launch(corvale);
    QObject::connect(&instance, &SingleInstance::argumentsReceived, &launch,
                     &LaunchWiring::handleArguments);
    AppViewModel* session = corvale.session();
    session->setOutputFolder(QUrl::fromLocalFile(outDir));

    QTextStream out(stdout);
    const auto say = [&out](const QString& line) { out << line << Qt::endl; };
    launch.host().setFileChooser([&](const QString&, const QString&) {
        QFile file(choiceFile);
        QList<QUrl> chosen;
        if (file.open(QIODevice::ReadOnly)) {
            QStringList lines = QString::fromUtf8(file.readAll()).split('\n');
            // The first line says whether this run normalises.
            Preferences::setOverride(QStringLiteral("normalizeLoudness"),
                                     lines.takeFirst() == QStringLiteral("normalise"));
            for (const QString& line : lines)
                if (!line.isEmpty())
                    chosen << QUrl::fromLocalFile(line);
        }
        say(QStringLiteral("panel %1").arg(chosen.size()));
        return chosen;
    });
    QObject::connect(session, &AppViewModel::headlessModeChanged, &app, [&] {
        say(QStringLiteral("headless %1").arg(session->headlessMode() ? 1 : 0));
    });
    QObject::connect(session, &AppViewModel::runEnded, &app, [&](RunOutcome outcome) {
        say(QStringLiteral("ended ") + rawValue(outcome));
    });
    MainWindow* window = corvale.mainWindow();
    QObject::connect(window, &MainWindow::openChanged, &app, [&, window](bool open) {
        if (open)
            say(QStringLiteral("window %1 %2")
                    .arg(window->windowOpacity())
                    .arg(window->testAttribute(Qt::WA_TransparentForMouseEvents) ? 1 : 0));
    });
    QSocketNotifier commands(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&commands, &QSocketNotifier::activated, &app, [&] {
        char line[64] = {};
        const ssize_t n = ::read(STDIN_FILENO, line, sizeof line - 1);
        const QByteArray command = QByteArray(line, int(std::max<ssize_t>(n, 0))).trimmed();
        if (n <= 0) {
            commands.setEnabled(false);
        } else if (command == "cancel") {
            ProgressFloaterPanel* floater = launch.host().progressFloater();
            if (floater && floater->view()->cancelButton()->isVisible())
                floater->view()->cancelButton()->click();
            else
                say(QStringLiteral("nothing to cancel"));
        } else if (command == "quit") {
            corvale.commands()->action(MenuCommands::Command::quit)->trigger();
        }
    });
    if (!requestArguments.isEmpty())
        launch.handleArguments(requestArguments);
    corvale.showMainWindow();
    const int code = QApplication::exec();
    return corvale.quitSignal() ? 128 + corvale.quitSignal() : code;
}

enum class Stop { panel, cancel, finish, quit, sigterm };
constexpr Stop kStops[] = {Stop::panel, Stop::cancel, Stop::finish, Stop::quit, Stop::sigterm};

const char* stopName(Stop stop) {
    switch (stop) {
    case Stop::panel:
        return "panel";
    case Stop::cancel:
        return "cancel";
    case Stop::finish:
        return "finish";
    case Stop::quit:
        return "quit";
    case Stop::sigterm:
        return "sigterm";
    }
    return "?";
}

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// One running Corvale and the lines it has said.
class Corvale {
public:
    Corvale(const QString& work, const QStringList& arguments) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TMPDIR"), QDir(work).filePath(QStringLiteral("tmp")));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"),
                   QDir(work).filePath(QStringLiteral("config")));
        env.insert(QStringLiteral("XDG_DATA_HOME"), QDir(work).filePath(QStringLiteral("data")));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), QDir(work).filePath(QStringLiteral("run")));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QCoreApplication::applicationFilePath(),
                        QStringList{QStringLiteral("--app"), QDir(work).filePath("out"),
                                    QDir(work).filePath(QStringLiteral("choice"))} +
                            arguments);
    }
    ~Corvale() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    [[nodiscard]] bool running() { return m_process.state() != QProcess::NotRunning; }
    [[nodiscard]] qint64 pid() const { return m_process.processId(); }
    void send(const char* command) {
        m_process.write(QByteArray(command) + '\n');
        m_process.waitForBytesWritten(1000);
    }
    // Waits, for at most ms, for a line starting with prefix said after line `from`; its index.
    std::optional<qsizetype> waitFor(const QString& prefix, qsizetype from, int ms) {
        const double end = now() + ms / 1000.0;
        while (true) {
            for (qsizetype i = from; i < m_lines.size(); ++i)
                if (m_lines[i].startsWith(prefix))
                    return i;
            if (now() > end || !running())
                return std::nullopt;
            m_process.waitForReadyRead(20);
            while (m_process.canReadLine())
                m_lines << QString::fromUtf8(m_process.readLine()).trimmed();
        }
    }
    // Exit code (or 1000 + signal), -1 when still running after ms.
    int waitForExit(int ms) {
        if (!m_process.waitForFinished(ms) && running())
            return -1;
        return m_process.exitStatus() == QProcess::CrashExit ? 1000 : m_process.exitCode();
    }
    [[nodiscard]] const QStringList& lines() const { return m_lines; }
    [[nodiscard]] qsizetype said() const { return m_lines.size(); }

private:
    QProcess m_process;
    QStringList m_lines;
};

QString urlFor(const QString& path) {
    return QStringLiteral("corvale://ref?path=") +
           QString::fromLatin1(QUrl::toPercentEncoding(path, "/"));
}

struct Tally {
    int requests = 0;
    int stoppedMidRun = 0; // the stop came while the run went on
    int endedFirst = 0;    // the run had ended before the stop
    int notBack = 0;       // the window did not come back / Corvale did not end as designed
    int children = 0;
    int folders = 0;
    int outputs = 0;
    int wholeOutputs = 0;
};

} // namespace

int main(int argc, char** argv) {
    if (argc > 3 && QByteArray(argv[1]) == "--app") {
        QApplication::setOrganizationName(QStringLiteral("Corvale"));
        QApplication::setApplicationName(QStringLiteral("Corvale"));
        QApplication app(argc, argv);
        return runApp(
            app, QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]),
            LaunchRequest::absoluteArguments(app.arguments().mid(4), QDir::currentPath()));
    }
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::printf("no X display: run it under xvfb-run -a\n");
        return 1;
    }
    const QStringList args = app.arguments().mid(1);
    QTemporaryDir scratch;
    const QString work = args.value(0, scratch.path());
    const int requests = args.value(1, QStringLiteral("20")).toInt();
    const std::uint32_t seed =
        args.size() > 2 ? args[2].toUInt() : std::uint32_t(std::random_device{}());
    std::printf("seed %u (windowstops_bench %s %d %u repeats this)\n", seed, qPrintable(work),
                requests, seed);
    const QStringList inputs = makeStopSession(QDir(work).filePath(QStringLiteral("session")));
    if (inputs.isEmpty())
        return 1;
    const QString tempRoot = QDir(work).filePath(QStringLiteral("tmp"));
    const QString outDir = QDir(work).filePath(QStringLiteral("out"));
    const QString runtime = QDir(work).filePath(QStringLiteral("run"));
    for (const char* folder : {"tmp", "config", "data", "run"}) {
        QDir(QDir(work).filePath(QString::fromLatin1(folder))).removeRecursively();
        QDir().mkpath(QDir(work).filePath(QString::fromLatin1(folder)));
    }
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const auto choose = [&](bool files, bool normalise) {
        QFile choice(QDir(work).filePath(QStringLiteral("choice")));
        choice.open(QIODevice::WriteOnly | QIODevice::Truncate);
        choice.write(normalise ? "normalise\n" : "as is\n");
        if (files)
            choice.write(QFile::encodeName(inputs.mid(1).join('\n')));
    };
    const auto clearOutputs = [&] {
        QDir(outDir).removeRecursively();
        QDir().mkpath(outDir);
    };
    const QString request = urlFor(inputs[0]);
    std::unique_ptr<Corvale> corvale;
    // Hands the request over: a first start, or a later start's hand-over to the running one.
    const auto sendRequest = [&] {
        if (corvale && corvale->running()) {
            SingleInstance later(QDir(runtime).filePath(QStringLiteral("corvale.socket")));
            return later.forwardToRunningInstance({request});
        }
        corvale = std::make_unique<Corvale>(work, QStringList{request});
        return true;
    };

    // A clean request: the run's length from the floater to its end, and the outputs' lengths
    // (the same with normalisation, which only takes longer).
    clearOutputs();
    choose(true, false);
    sendRequest();
    const auto headless = corvale->waitFor(QStringLiteral("headless 1"), 0, kWaitMs);
    const double t0 = now();
    const auto ended =
        headless ? corvale->waitFor(QStringLiteral("ended"), *headless, 600000) : std::nullopt;
    const double cleanSeconds = now() - t0;
    if (!ended || !corvale->waitFor(QStringLiteral("window"), *ended, kWaitMs)) {
        std::printf("the clean request did not come back:\n%s\n",
                    qPrintable(corvale->lines().join('\n')));
        return 1;
    }
    const std::map<QString, long long> fullFrames = outputFrames(outDir);
    std::printf("clean request (%s): run %.2f s; outputs:", qPrintable(corvale->lines()[*ended]),
                cleanSeconds);
    for (const auto& [name, frames] : fullFrames)
        std::printf(" %s (%lld)", qPrintable(name), frames);
    std::printf("\n\n%4s %-8s %-6s %4s %7s  %-30s %5s  %s\n", "req", "stop", "start", "norm",
                "at s", "end", "whole", "leaks");

    std::mt19937 rng(seed);
    std::map<Stop, Tally> tallies;
    bool anyFault = false;
    for (int i = 0; i < requests; ++i) {
        const Stop stop = kStops[std::uniform_int_distribution<int>(0, 4)(rng)];
        const bool normalise = std::uniform_int_distribution<int>(0, 1)(rng) == 1;
        const double at = std::uniform_real_distribution<double>(0.0, cleanSeconds)(rng);
        clearOutputs();
        choose(stop != Stop::panel, normalise);
        const bool firstStart = !(corvale && corvale->running());
        const qsizetype from = firstStart ? 0 : corvale->said();
        Tally& tally = tallies[stop];
        ++tally.requests;
        QStringList leaks;
        QString end;
        if (!sendRequest()) {
            leaks << QStringLiteral("request not taken");
        } else if (stop == Stop::panel) {
            const auto panel = corvale->waitFor(QStringLiteral("panel 0"), from, kWaitMs);
            const auto back =
                panel ? corvale->waitFor(QStringLiteral("window"), *panel, kWaitMs) : std::nullopt;
            end = back ? corvale->lines()[*back] : QString();
        } else if (const auto started =
                       corvale->waitFor(QStringLiteral("headless 1"), from, kWaitMs)) {
            // The stop, at its moment unless the run ends first.
            const auto runEnd = corvale->waitFor(QStringLiteral("ended"), *started,
                                                 stop == Stop::finish ? 600000 : int(at * 1000.0));
            ++(runEnd ? tally.endedFirst : tally.stoppedMidRun);
            if (stop == Stop::cancel)
                corvale->send("cancel");
            else if (stop == Stop::quit)
                corvale->send("quit");
            else if (stop == Stop::sigterm)
                ::kill(pid_t(corvale->pid()), SIGTERM);
            if (stop == Stop::quit || stop == Stop::sigterm) {
                const int code = corvale->waitForExit(kWaitMs);
                const int expected = stop == Stop::quit ? 0 : 128 + SIGTERM;
                end = code < 0 ? QString() : QStringLiteral("exit %1").arg(code);
                if (code != expected)
                    leaks << (code < 0 ? QStringLiteral("HUNG") : QStringLiteral("wrong exit"));
                if (code < 0)
                    corvale.reset();
            } else {
                const auto outcome = corvale->waitFor(QStringLiteral("ended"), *started, kWaitMs);
                const auto back =
                    outcome ? corvale->waitFor(QStringLiteral("window"), *outcome, kWaitMs)
                            : std::nullopt;
                if (back)
                    end =
                        corvale->lines()[*outcome] + QStringLiteral(", ") + corvale->lines()[*back];
            }
        }
        // The window back: opaque (1) and taking input (0).
        const bool asDesigned =
            end.startsWith(QStringLiteral("exit")) || end.endsWith(QStringLiteral("window 1 0"));
        if (!asDesigned) {
            ++tally.notBack;
            leaks << QStringLiteral("not back (%1)").arg(end.isEmpty() ? "nothing" : end);
        }
        if (const int tools =
                toolsLeft(work, {QStringLiteral("ffmpeg"), QStringLiteral("ffprobe")});
            tools > 0) {
            ++tally.children;
            leaks << QStringLiteral("%1 tools").arg(tools);
        }
        if (const QStringList folders = runFolders(tempRoot); !folders.isEmpty()) {
            ++tally.folders;
            leaks << QStringLiteral("folders %1").arg(folders.join(' '));
            for (const QString& f : folders)
                QDir(QDir(tempRoot).filePath(f)).removeRecursively();
        }
        int whole = 0;
        const QStringList bad = badOutputs(outDir, fullFrames, &whole);
        tally.wholeOutputs += whole;
        if (!bad.isEmpty()) {
            ++tally.outputs;
            leaks << bad.join(QStringLiteral(", "));
        }
        anyFault = anyFault || !leaks.isEmpty();
        std::printf("%4d %-8s %-6s %4s %7.2f  %-30s %5d  %s\n", i + 1, stopName(stop),
                    firstStart ? "first" : "later", normalise ? "yes" : "no",
                    stop == Stop::panel ? 0.0 : at,
                    qPrintable(end.isEmpty() ? QStringLiteral("-") : end), whole,
                    leaks.isEmpty() ? "none" : qPrintable(leaks.join(QStringLiteral("; "))));
        std::fflush(stdout);
    }
    if (corvale && corvale->running()) {
        corvale->send("quit");
        if (corvale->waitForExit(kWaitMs) != 0) {
            std::printf("the last Corvale did not quit as asked\n");
            anyFault = true;
        }
    }

    std::printf("\n%-8s %8s %7s %6s %8s %9s %8s %8s %6s\n", "stop", "requests", "midrun", "ended",
                "notback", "children", "folders", "outputs", "whole");
    Tally total;
    for (const auto& [stop, t] : tallies) {
        std::printf("%-8s %8d %7d %6d %8d %9d %8d %8d %6d\n", stopName(stop), t.requests,
                    t.stoppedMidRun, t.endedFirst, t.notBack, t.children, t.folders, t.outputs,
                    t.wholeOutputs);
        total.requests += t.requests;
        total.stoppedMidRun += t.stoppedMidRun;
        total.endedFirst += t.endedFirst;
        total.notBack += t.notBack;
        total.children += t.children;
        total.folders += t.folders;
        total.outputs += t.outputs;
        total.wholeOutputs += t.wholeOutputs;
    }
    std::printf("%-8s %8d %7d %6d %8d %9d %8d %8d %6d\n", "total", total.requests,
                total.stoppedMidRun, total.endedFirst, total.notBack, total.children, total.folders,
                total.outputs, total.wholeOutputs);
    std::printf("\n%s (seed %u)\n",
                anyFault ? "SOMETHING LEAKED or Corvale did not come back" : "nothing leaked",
                seed);
    QDir(tempRoot).removeRecursively();
    QDir(outDir).removeRecursively();
    return anyFault ? 1 : 0;
}
