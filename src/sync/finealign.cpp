// SPDX-License-Identifier: GPL-3.0-or-later
#include "finealign.h"

#include "envelope.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace corvale {
namespace {

constexpr double kMaxSlope = 2e-3;
constexpr int kMinimumAgreeing = 3;

struct Line {
    double lagAtZero = 0.0;
    double slope = 0.0;
    [[nodiscard]] double at(double t) const { return lagAtZero + slope * t; }
};

struct Candidate {
    Line line;
    std::vector<std::size_t> members; // indices into the measurements, ascending
    double spread = 0.0;              // sum of absolute residuals of the members
};

std::vector<std::size_t> membersOf(const Line& line, std::span<const LagMeasurement> m,
                                   std::span<const std::size_t> pool, double tolerance,
                                   double* spread) {
    std::vector<std::size_t> out;
    double total = 0.0;
    for (const std::size_t i : pool) {
        const double r = std::abs(m[i].lagSamples - line.at(m[i].trackSample));
        if (r <= tolerance) {
            out.push_back(i);
            total += r;
        }
    }
    if (spread)
        *spread = total;
    return out;
}

// Least-squares line through the members; a single time gives a flat line through their mean.
Line leastSquares(std::span<const LagMeasurement> m, std::span<const std::size_t> members) {
    double st = 0.0;
    double sl = 0.0;
    for (const std::size_t i : members) {
        st += m[i].trackSample;
        sl += m[i].lagSamples;
    }
    const double n = double(members.size());
    const double meanT = st / n;
    const double meanL = sl / n;
    double stt = 0.0;
    double stl = 0.0;
    for (const std::size_t i : members) {
        const double dt = m[i].trackSample - meanT;
        stt += dt * dt;
        stl += dt * (m[i].lagSamples - meanL);
    }
    const double slope = stt > 0.0 ? std::clamp(stl / stt, -kMaxSlope, kMaxSlope) : 0.0;
    return {meanL - slope * meanT, slope};
}

// The best-supported line through two measurements of the pool, refined by least squares.
std::optional<Candidate> bestLine(std::span<const LagMeasurement> m,
                                  std::span<const std::size_t> pool, double tolerance) {
    std::optional<Candidate> best;
    for (std::size_t a = 0; a < pool.size(); ++a) {
        for (std::size_t b = a + 1; b < pool.size(); ++b) {
            const LagMeasurement& p = m[pool[a]];
            const LagMeasurement& q = m[pool[b]];
            const double dt = q.trackSample - p.trackSample;
            if (dt == 0.0)
                continue;
            const double slope = (q.lagSamples - p.lagSamples) / dt;
            if (std::abs(slope) > kMaxSlope)
                continue;
            const Line line{p.lagSamples - slope * p.trackSample, slope};
            double spread = 0.0;
            auto members = membersOf(line, m, pool, tolerance, &spread);
            if (!best || members.size() > best->members.size() ||
                (members.size() == best->members.size() && spread < best->spread))
                best = Candidate{line, std::move(members), spread};
        }
    }
    if (!best || best->members.size() < 2)
        return best;
    // Least squares over the members, then the members of that line (once more, so that the
    // final line is fitted to exactly the windows that agree with it).
    for (int pass = 0; pass < 2; ++pass) {
        const Line refined = leastSquares(m, best->members);
        double spread = 0.0;
        auto members = membersOf(refined, m, pool, tolerance, &spread);
        if (members.size() < best->members.size())
            break;
        best = Candidate{refined, std::move(members), spread};
    }
    return best;
}

double rmsResidual(const Line& line, std::span<const LagMeasurement> m,
                   std::span<const std::size_t> members, double* sumSquares) {
    double s = 0.0;
    for (const std::size_t i : members) {
        const double r = m[i].lagSamples - line.at(m[i].trackSample);
        s += r * r;
    }
    if (sumSquares)
        *sumSquares = s;
    return members.empty() ? 0.0 : std::sqrt(s / double(members.size()));
}

double earliest(std::span<const LagMeasurement> m, std::span<const std::size_t> members) {
    double t = m[members.front()].trackSample;
    for (const std::size_t i : members)
        t = std::min(t, m[i].trackSample);
    return t;
}

double latest(std::span<const LagMeasurement> m, std::span<const std::size_t> members) {
    double t = m[members.front()].trackSample;
    for (const std::size_t i : members)
        t = std::max(t, m[i].trackSample);
    return t;
}

} // namespace

double agreementTolerance(double sampleRate) {
    return std::max(1.5, kAgreementMs * 1e-3 * sampleRate);
}

ClockFit fitClock(std::span<const LagMeasurement> measurements, double tolerance,
                  double minimumSideSpan) {
    ClockFit fit;
    fit.windowsMeasured = int(measurements.size());
    if (measurements.size() < 2)
        return fit;
    std::vector<std::size_t> all(measurements.size());
    for (std::size_t i = 0; i < all.size(); ++i)
        all[i] = i;
    const auto first = bestLine(measurements, all, tolerance);
    if (!first || first->members.size() < 2)
        return fit;

    fit.segments = {ClockSegment{0, first->line.lagAtZero, first->line.slope}};
    fit.windowsAgreeing = int(first->members.size());
    fit.residualSamples = rmsResidual(first->line, measurements, first->members, nullptr);

    // A break: the windows left over agree with a second line, and the two groups do not
    // interleave in time.
    std::vector<std::size_t> rest;
    std::set_difference(all.begin(), all.end(), first->members.begin(), first->members.end(),
                        std::back_inserter(rest));
    std::optional<Candidate> second;
    if (rest.size() >= std::size_t(kMinimumAgreeing))
        second = bestLine(measurements, rest, tolerance);
    if (second && second->members.size() >= std::size_t(kMinimumAgreeing) &&
        first->members.size() >= std::size_t(kMinimumAgreeing)) {
        const bool firstEarlier =
            latest(measurements, first->members) < earliest(measurements, second->members);
        const bool secondEarlier =
            latest(measurements, second->members) < earliest(measurements, first->members);
        const auto spans = [&](const Candidate& c) {
            return latest(measurements, c.members) - earliest(measurements, c.members) >=
                   minimumSideSpan;
        };
        if ((firstEarlier || secondEarlier) && spans(*first) && spans(*second)) {
            const Candidate& early = firstEarlier ? *first : *second;
            const Candidate& late = firstEarlier ? *second : *first;
            const double from = latest(measurements, early.members);
            const double to = earliest(measurements, late.members);
            const auto split = std::int64_t(std::llround(0.5 * (from + to)));
            fit.segments = {ClockSegment{0, early.line.lagAtZero, early.line.slope},
                            ClockSegment{split, late.line.lagAtZero, late.line.slope}};
            fit.breakBetween = std::make_pair(from, to);
            fit.windowsAgreeing = int(early.members.size() + late.members.size());
            double s1 = 0.0;
            double s2 = 0.0;
            rmsResidual(early.line, measurements, early.members, &s1);
            rmsResidual(late.line, measurements, late.members, &s2);
            fit.residualSamples = std::sqrt((s1 + s2) / double(fit.windowsAgreeing));
        }
    }
    fit.confident =
        fit.windowsAgreeing >= kMinimumAgreeing && 2 * fit.windowsAgreeing >= fit.windowsMeasured;
    return fit;
}

std::optional<int> segmentAgreeing(const ClockFit& fit, const LagMeasurement& m, double tolerance) {
    std::optional<int> found;
    for (std::size_t s = 0; s < fit.segments.size(); ++s) {
        if (std::abs(m.lagSamples - fit.segments[s].lagAt(m.trackSample)) <= tolerance) {
            if (found)
                return std::nullopt;
            found = int(s);
        }
    }
    return found;
}

double coarseLagAt(const OffsetResult& offset, const DriftAnalysis& drift, double sampleRate,
                   double trackSample) {
    const double base = double(offset.offsetSamples);
    if (!drift.driftApplied || drift.points.empty() || !(sampleRate > 0.0))
        return base;
    // Anchor times count from the first track sample that overlaps the reference.
    const double overlapStart = double(std::max<std::int64_t>(-offset.offsetSamples, 0));
    const double t = (trackSample - overlapStart) / sampleRate;
    std::vector<DriftPoint> points = drift.points;
    std::sort(points.begin(), points.end(), [](const DriftPoint& a, const DriftPoint& b) {
        return a.timeSeconds < b.timeSeconds;
    });
    double driftSeconds = points.front().driftSeconds;
    if (t >= points.back().timeSeconds) {
        driftSeconds = points.back().driftSeconds;
    } else {
        for (std::size_t i = 1; i < points.size(); ++i) {
            const DriftPoint& p = points[i - 1];
            const DriftPoint& q = points[i];
            if (t < q.timeSeconds) {
                const double span = q.timeSeconds - p.timeSeconds;
                const double u =
                    span > 0.0 ? std::clamp((t - p.timeSeconds) / span, 0.0, 1.0) : 1.0;
                driftSeconds = p.driftSeconds + u * (q.driftSeconds - p.driftSeconds);
                break;
            }
        }
    }
    return base + driftSeconds * sampleRate;
}

std::vector<float> warpWindow(std::span<const float> signal, double firstPosition, double step,
                              std::size_t count) {
    std::vector<float> out(count, 0.0f);
    const auto n = std::int64_t(signal.size());
    const auto at = [&](std::int64_t k) {
        return k >= 0 && k < n ? double(signal[std::size_t(k)]) : 0.0;
    };
    for (std::size_t j = 0; j < count; ++j) {
        const double x = firstPosition + double(j) * step;
        const double floorX = std::floor(x);
        if (!(floorX > -2.0 && floorX < double(n) + 1.0))
            continue;
        const auto k = std::int64_t(floorX);
        const double u = x - floorX;
        const double p0 = at(k - 1);
        const double p1 = at(k);
        const double p2 = at(k + 1);
        const double p3 = at(k + 2);
        out[j] = float(
            p1 + 0.5 * u *
                     (p2 - p0 +
                      u * (2.0 * p0 - 5.0 * p1 + 4.0 * p2 - p3 + u * (3.0 * (p1 - p2) + p3 - p0))));
    }
    return out;
}

std::vector<std::int64_t> pickFineWindows(std::span<const float> envelope, std::int64_t firstFrame,
                                          std::int64_t endFrame, std::int64_t windowFrames,
                                          std::int64_t count) {
    firstFrame = std::max<std::int64_t>(firstFrame, 0);
    endFrame = std::min<std::int64_t>(endFrame, std::int64_t(envelope.size()));
    if (windowFrames < 1 || count < 1 || endFrame - firstFrame < windowFrames)
        return {};
    const auto region =
        envelope.subspan(std::size_t(firstFrame), std::size_t(endFrame - firstFrame));
    std::vector<std::int64_t> starts = pickSegmentStarts(region, windowFrames, count);
    for (std::int64_t& s : starts)
        s += firstFrame;
    // Regions narrower than a window may pick the same start twice.
    starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
    return starts;
}

} // namespace corvale
