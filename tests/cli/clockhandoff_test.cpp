// SPDX-License-Identifier: GPL-3.0-or-later
// The whole run, from files to written outputs, for a recorder whose clock ran fast and that
// dropped a block: the fitted clock must reach the writer as it was measured, so the output
// is checked against the truth near its end, where a clock lost or turned round on its way
// shows most.
#include "support/speechgen.h"
#include "support/wavfile.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>

using namespace corvale;

namespace {

constexpr int kRate = 16000;

// Where 2 s of output from `seconds` sit against the reference, in ms, searched ±300 ms.
double misplacementMs(const std::vector<float>& output, const std::vector<float>& reference,
                      double seconds) {
    const auto at = std::int64_t(seconds * kRate);
    const std::int64_t span = 2 * kRate;
    const std::int64_t search = kRate * 3 / 10;
    double best = -2.0;
    std::int64_t bestShift = 0;
    for (std::int64_t k = -search; k <= search; ++k) {
        double ab = 0.0, aa = 0.0, bb = 0.0;
        for (std::int64_t i = 0; i < span; i += 2) {
            const std::int64_t o = at + i;
            const std::int64_t r = at + i + k;
            const double a = o < std::ssize(output) ? output[std::size_t(o)] : 0.0;
            const double b = r >= 0 && r < std::ssize(reference) ? reference[std::size_t(r)] : 0.0;
            ab += a * b;
            aa += a * a;
            bb += b * b;
        }
        const double score = aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : -1.0;
        if (score > best) {
            best = score;
            bestShift = k;
        }
    }
    EXPECT_GT(best, 0.5) << "at " << seconds << " s";
    return 1000.0 * double(bestShift) / kRate;
}

} // namespace

TEST(ClockHandOff, AFastRecorderThatDroppedABlockIsWrittenInPlaceToItsEnd) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const auto reference = test::speechLike(330.0, kRate, 31);
    // From 12 s on, 120 ms missing at 150 s of the reference, on a clock 250 ppm fast.
    auto source = test::excerpt(reference, 12 * kRate, 138 * kRate);
    const auto rest = test::excerpt(reference, std::int64_t(150.12 * kRate), 175 * kRate);
    source.insert(source.end(), rest.begin(), rest.end());
    const auto track = test::resampleByRatio(source, 1.0 + 250e-6);
    const QString ref = dir.filePath(QStringLiteral("ref.wav"));
    const QString guest = dir.filePath(QStringLiteral("guest.wav"));
    ASSERT_TRUE(test::writeWav(ref, reference, 1, kRate));
    ASSERT_TRUE(test::writeWav(guest, std::vector(track.begin(), track.end() - kRate), 1, kRate));

    QProcess run;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    QDir().mkpath(dir.filePath(QStringLiteral("tmp")));
    env.insert(QStringLiteral("TMPDIR"), dir.filePath(QStringLiteral("tmp")));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
    run.setProcessEnvironment(env);
    run.start(QStringLiteral(CORVALE_SYNC_BINARY),
              {ref, guest, QStringLiteral("--output"), dir.filePath(QStringLiteral("out"))});
    ASSERT_TRUE(run.waitForFinished(180000));
    ASSERT_EQ(run.exitCode(), 0) << run.readAllStandardError().toStdString();

    const auto output = test::readWav(dir.filePath(QStringLiteral("out/guest-synced.wav"))).samples;
    // Written on the reference's timeline: the track's last seconds belong near 324 s.
    ASSERT_GT(output.size(), std::size_t(322 * kRate));
    for (const double t : {20.0, 148.0, 152.0, 318.0})
        EXPECT_LE(std::abs(misplacementMs(output, reference, t)), 1.0) << "at " << t << " s";
}
