// SPDX-License-Identifier: GPL-3.0-or-later
#include "finealign.h"

#include "envelope.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>

namespace corvale {
namespace {

constexpr double kMaxSlope = 2e-3;
constexpr int kMinimumAgreeing = 3;

struct Line {
    double lagAtZero = 0.0;
    double slope = 0.0;
    [[nodiscard]] double at(double t) const { return lagAtZero + slope * t; }
};

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

} // namespace

double agreementTolerance(double sampleRate) {
    return std::max(1.5, kAgreementMs * 1e-3 * sampleRate);
}

bool hasClearPeak(const LagMeasurement& m) {
    return m.margin >= kClearPeakMargin;
}

std::vector<ClockBreak> ClockFit::breaks() const {
    std::vector<ClockBreak> out;
    for (std::size_t k = 1; k < segments.size(); ++k) {
        const ClockSegment& before = segments[k - 1];
        const ClockSegment& after = segments[k];
        const auto t = double(after.firstTrackSample);
        out.push_back(
            {after.firstTrackSample, after.lagAt(t) - before.lagAt(t), before.slope, after.slope});
    }
    return out;
}

const ClockSegment& segmentAt(const ClockFit& fit, double t) {
    std::size_t k = 0;
    while (k + 1 < fit.segments.size() && double(fit.segments[k + 1].firstTrackSample) <= t)
        ++k;
    return fit.segments[k];
}

namespace {

// A window that disagrees with the line being followed starts a new one when the window after
// it agrees with it, allowing for rates this far apart.
constexpr double kRateChangeAllowance = 200e-6;

struct Group {
    std::vector<std::size_t> members; // ascending in time
    Line line;
};

double span(std::span<const LagMeasurement> m, const Group& g) {
    return m[g.members.back()].trackSample - m[g.members.front()].trackSample;
}

// Consecutive groups of windows in time order, each on one line; strays are left out.
std::vector<Group> groupInTime(std::span<const LagMeasurement> m,
                               std::span<const std::size_t> order, double tolerance) {
    const std::size_t n = order.size();
    std::vector<Group> groups;
    Group current;
    // A line starts with three windows on one line, or, with only two left, two that follow
    // the line before them but for a step and a moderate change of rate.
    const auto startsLine = [&](std::size_t j, double slopeBefore) {
        const LagMeasurement& p = m[order[j]];
        if (j + 2 < n) {
            const LagMeasurement& q = m[order[j + 1]];
            const LagMeasurement& r = m[order[j + 2]];
            const double dt = q.trackSample - p.trackSample;
            if (dt <= 0.0)
                return false;
            const double slope = (q.lagSamples - p.lagSamples) / dt;
            const Line line{p.lagSamples - slope * p.trackSample, slope};
            return std::abs(slope) <= kMaxSlope &&
                   std::abs(r.lagSamples - line.at(r.trackSample)) <= tolerance;
        }
        if (j + 1 < n && std::isfinite(slopeBefore)) {
            const LagMeasurement& q = m[order[j + 1]];
            const double dt = q.trackSample - p.trackSample;
            return std::abs(q.lagSamples - p.lagSamples - slopeBefore * dt) <=
                   tolerance + kRateChangeAllowance * dt;
        }
        return false;
    };
    std::size_t j = 0;
    while (j < n) {
        if (current.members.empty()) {
            // No line before: NaN, so that two windows alone never start one.
            const double before = groups.empty() ? std::numeric_limits<double>::quiet_NaN()
                                                 : groups.back().line.slope;
            if (!startsLine(j, before)) {
                ++j; // a stray
                continue;
            }
            const std::size_t take = std::min<std::size_t>(3, n - j);
            current.members.assign(order.begin() + std::ptrdiff_t(j),
                                   order.begin() + std::ptrdiff_t(j + take));
            current.line = leastSquares(m, current.members);
            j += take;
            continue;
        }
        const auto off = [&](std::size_t k) {
            return std::abs(m[k].lagSamples - current.line.at(m[k].trackSample));
        };
        if (off(order[j]) <= tolerance) {
            current.members.push_back(order[j]);
            current.line = leastSquares(m, current.members);
            ++j;
            continue;
        }
        const bool nextFollows = j + 1 < n && off(order[j + 1]) <= tolerance;
        if (!nextFollows && startsLine(j, current.line.slope)) {
            groups.push_back(std::move(current));
            current = Group{};
            continue;
        }
        ++j; // a stray
    }
    if (current.members.size() >= 2)
        groups.push_back(std::move(current));
    return groups;
}

} // namespace

ClockFit fitClock(std::span<const LagMeasurement> measurements, double tolerance,
                  double minimumSideSpan, double slopeSpan) {
    ClockFit fit;
    fit.windowsMeasured = int(measurements.size());
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < measurements.size(); ++i) {
        if (hasClearPeak(measurements[i]))
            order.push_back(i);
    }
    fit.windowsClear = int(order.size());
    if (measurements.size() < 2 || order.size() < 2)
        return fit;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return measurements[a].trackSample < measurements[b].trackSample;
    });
    std::vector<Group> groups = groupInTime(measurements, order, tolerance);
    // Bunched windows are no side of a break; when all are bunched, the largest bunch stands.
    const auto largest =
        std::max_element(groups.begin(), groups.end(), [](const Group& x, const Group& y) {
            return x.members.size() < y.members.size();
        });
    if (largest == groups.end())
        return fit;
    Group kept = *largest;
    std::erase_if(groups, [&](const Group& g) { return span(measurements, g) < minimumSideSpan; });
    if (groups.empty())
        groups.push_back(std::move(kept));
    // A short line's slope is mostly its windows' noise; its neighbour's is better.
    for (std::size_t k = 0; k < groups.size(); ++k) {
        if (span(measurements, groups[k]) >= slopeSpan || groups.size() == 1)
            continue;
        std::optional<double> slope;
        for (std::size_t d = 1; d < groups.size() && !slope; ++d) {
            for (const std::size_t n : {k - d, k + d}) {
                if (n < groups.size() && span(measurements, groups[n]) >= slopeSpan) {
                    slope = groups[n].line.slope;
                    break;
                }
            }
        }
        Group& g = groups[k];
        double meanT = 0.0;
        double meanL = 0.0;
        for (const std::size_t i : g.members) {
            meanT += measurements[i].trackSample;
            meanL += measurements[i].lagSamples;
        }
        meanT /= double(g.members.size());
        meanL /= double(g.members.size());
        const double s = slope.value_or(g.line.slope);
        g.line = {meanL - s * meanT, s};
    }
    for (std::size_t k = 0; k < groups.size(); ++k) {
        const Line& line = groups[k].line;
        if (k == 0) {
            fit.segments.push_back({0, line.lagAtZero, line.slope});
            continue;
        }
        const Line& before = groups[k - 1].line;
        const double from = measurements[groups[k - 1].members.back()].trackSample;
        const double to = measurements[groups[k].members.front()].trackSample;
        double at = 0.5 * (from + to);
        // Two rates meeting between their windows: the change is where the lines cross.
        if (before.slope != line.slope) {
            const double cross = (line.lagAtZero - before.lagAtZero) / (before.slope - line.slope);
            if (cross >= from && cross <= to)
                at = cross;
        }
        fit.segments.push_back({std::int64_t(std::llround(at)), line.lagAtZero, line.slope});
        fit.gaps.emplace_back(from, to);
    }
    assessFit(fit, measurements, tolerance, tolerance, 0.0);
    return fit;
}

void assessFit(ClockFit& fit, std::span<const LagMeasurement> measurements, double tolerance,
               double confirmation, double reach) {
    fit.disagreeing.clear();
    fit.windowsAgreeing = 0;
    fit.usable = false;
    fit.confident = false;
    if (fit.segments.empty())
        return;
    double squares = 0.0;
    for (const LagMeasurement& m : measurements) {
        if (!hasClearPeak(m))
            continue;
        double best = std::abs(m.lagSamples - segmentAt(fit, m.trackSample).lagAt(m.trackSample));
        for (const double t : {m.trackSample - reach, m.trackSample + reach}) {
            best = std::min(best, std::abs(m.lagSamples - segmentAt(fit, t).lagAt(m.trackSample)));
        }
        if (best <= tolerance) {
            ++fit.windowsAgreeing;
            squares += best * best;
        }
        if (best > confirmation)
            fit.disagreeing.push_back(m.trackSample);
    }
    std::sort(fit.disagreeing.begin(), fit.disagreeing.end());
    fit.residualSamples =
        fit.windowsAgreeing > 0 ? std::sqrt(squares / double(fit.windowsAgreeing)) : 0.0;
    fit.usable =
        fit.windowsAgreeing >= kMinimumAgreeing && 2 * fit.windowsAgreeing >= fit.windowsClear;
    fit.confident = fit.usable && fit.disagreeing.empty();
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
