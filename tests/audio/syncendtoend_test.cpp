// SPDX-License-Identifier: GPL-3.0-or-later
// From analysis to written file: a drifting track, analysed and written, must sit on the
// reference's timeline near its start and near its end. The audio runs at 8 kHz to keep the
// suite fast; the analysis works in 0.1 s envelope frames whatever the rate, so offsets,
// drift points and corrections behave as they do at 44.1 or 48 kHz.
#include "audio/audiooutputwriter.h"
#include "audio/samplereader.h"
#include "support/speechgen.h"
#include "support/wavfile.h"
#include "sync/syncengine.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>

using namespace corvale;

namespace {

constexpr int kRate = 8000;
constexpr double kReferenceSeconds = 2440.0;
constexpr double kTrackSeconds = 2400.0; // 40 minutes of the track's own clock
constexpr double kLead = 20.0;           // material before the reference, for early tracks
constexpr std::int64_t kBlock = kRate / 400;

// Mean-square envelope in 2.5 ms blocks: fine enough to tell 0.095 s from 0.1 s.
std::vector<double> envelope(const std::vector<float>& s, std::int64_t from, std::int64_t count) {
    constexpr std::int64_t block = kBlock;
    std::vector<double> out(static_cast<std::size_t>(count / block), 0.0);
    for (std::size_t b = 0; b < out.size(); ++b) {
        for (std::int64_t i = 0; i < block; ++i) {
            const std::int64_t k = from + std::int64_t(b) * block + i;
            const double v = k >= 0 && k < std::ssize(s) ? s[std::size_t(k)] : 0.0;
            out[b] += v * v;
        }
    }
    return out;
}

double pearson(const std::vector<double>& a, const std::vector<double>& b, std::size_t shift) {
    const std::size_t n = a.size();
    double ma = 0, mb = 0;
    for (std::size_t i = 0; i < n; ++i) {
        ma += a[i];
        mb += b[i + shift];
    }
    ma /= double(n);
    mb /= double(n);
    double ab = 0, aa = 0, bb = 0;
    for (std::size_t i = 0; i < n; ++i) {
        ab += (a[i] - ma) * (b[i + shift] - mb);
        aa += (a[i] - ma) * (a[i] - ma);
        bb += (b[i + shift] - mb) * (b[i + shift] - mb);
    }
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : -1.0;
}

// Where 8 s of the output starting at `seconds` are found in the reference, relative to the
// same time (positive: the material belongs later than the output has it), searched ±2 s.
double misplacement(const std::vector<float>& output, const std::vector<float>& reference,
                    double seconds) {
    const auto at = std::int64_t(seconds * kRate);
    const auto span = std::int64_t(8 * kRate);
    const auto search = std::int64_t(2 * kRate);
    const auto a = envelope(output, at, span);
    const auto b = envelope(reference, at - search, span + 2 * search);
    std::size_t best = 0;
    double bestScore = -2.0;
    for (std::size_t shift = 0; shift + a.size() <= b.size(); ++shift) {
        const double score = pearson(a, b, shift);
        if (score > bestScore) {
            bestScore = score;
            best = shift;
        }
    }
    return double(std::int64_t(best) * kBlock - search) / kRate;
}

class SyncEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_world =
            new std::vector<float>(test::speechLike(kLead + kReferenceSeconds + 60.0, kRate, 2024));
        s_reference = new std::vector<float>(test::excerpt(
            *s_world, std::int64_t(kLead * kRate), std::int64_t(kReferenceSeconds * kRate)));
    }
    static void TearDownTestSuite() {
        delete s_world;
        delete s_reference;
    }

    struct Outcome {
        double startError = 0.0;
        double endError = 0.0;
        double oppositeEndError = 0.0;
    };

    // A track that starts `offset` seconds into the reference (negative: before it) and whose
    // clock makes it drift by `drift` seconds over its 40 minutes.
    Outcome run(double offset, double drift) {
        const QString reference = m_dir.filePath(QStringLiteral("reference.wav"));
        const QString track = m_dir.filePath(QStringLiteral("track.wav"));
        const QString output = m_dir.filePath(QStringLiteral("track-synced.wav"));
        const QString opposite = m_dir.filePath(QStringLiteral("opposite-synced.wav"));
        EXPECT_TRUE(test::writeWav(reference, *s_reference, 1, kRate));
        {
            // Track sample i holds the material of reference time offset + i * ratio.
            const double ratio = 1.0 + drift / kTrackSeconds;
            const auto source = test::excerpt(*s_world, std::int64_t((kLead + offset) * kRate),
                                              std::int64_t(kTrackSeconds * ratio * kRate) + 1);
            EXPECT_TRUE(test::writeWav(track, test::resampleByRatio(source, ratio), 1, kRate));
        }

        const SyncPart part = analyse(reference, track);
        const AudioOutputWriter writer;
        EXPECT_TRUE(writer.write({part}, output).ok());
        SyncPart flippedPart = part;
        for (DriftPoint& p : flippedPart.driftPoints)
            p.driftSeconds = -p.driftSeconds;
        EXPECT_TRUE(writer.write({flippedPart}, opposite).ok());

        // One file in memory at a time keeps the sanitizer run's footprint modest.
        Outcome outcome;
        double end = 0.0;
        {
            const auto written = test::readWav(output).samples;
            end = std::min(double(written.size()) / kRate, kReferenceSeconds) - 20.0;
            outcome.startError = misplacement(written, *s_reference, std::max(offset, 0.0) + 20.0);
            outcome.endError = misplacement(written, *s_reference, end);
        }
        outcome.oppositeEndError = misplacement(test::readWav(opposite).samples, *s_reference, end);
        return outcome;
    }

    // The track's part as the run builds it: the start offset moved by the drift analysis'
    // start correction, and the drift points as measured.
    static SyncPart analyse(const QString& reference, const QString& track) {
        const SyncEngine engine(kRate);
        const auto ref = loadSamples(engine, reference, 0);
        const auto trk = loadSamples(engine, track, 0);
        EXPECT_TRUE(ref.ok() && trk.ok());
        SyncPart part;
        part.inputWAV = track;
        if (!ref.ok() || !trk.ok())
            return part;
        const OffsetResult found = engine.detectOffset(ref.value(), trk.value());
        const DriftAnalysis measured =
            engine.analyzeDrift(ref.value(), trk.value(), found.offsetSamples);
        EXPECT_NE(found.confidenceBand, ConfidenceBand::low);
        EXPECT_TRUE(measured.driftApplied);
        part.offsetSeconds = double(found.offsetSamples + measured.startCorrectionSamples) / kRate;
        part.driftPoints = measured.points;
        return part;
    }

    QTemporaryDir m_dir;
    static inline std::vector<float>* s_world = nullptr;
    static void expectLinedUp(const Outcome& o) {
        ::testing::Test::RecordProperty(
            "misplacementStartEndOpposite",
            QString::asprintf("%.3f %.3f %.3f", o.startError, o.endError, o.oppositeEndError)
                .toStdString());
        EXPECT_LE(std::abs(o.startError), 0.1) << o.startError;
        EXPECT_LE(std::abs(o.endError), 0.1) << o.endError;
        // Corrections in the other direction double the drift instead of removing it.
        EXPECT_GT(std::abs(o.oppositeEndError), 0.5) << o.oppositeEndError;
    }

    static inline std::vector<float>* s_reference = nullptr;
};

} // namespace

TEST_F(SyncEndToEnd, LateTrackGainingSevenTenthsLinesUpAtStartAndEnd) {
    expectLinedUp(run(12.3, 0.7));
}

TEST_F(SyncEndToEnd, EarlyTrackLosingSevenTenthsLinesUpAtStartAndEnd) {
    expectLinedUp(run(-7.7, -0.7));
}
