// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "itemanalysis.h"
#include "syncresult.h"

namespace corvale {

// Whether any stage vouched for the file's place: the envelopes' high band, a whole-reference
// search that placed or confirmed it, or a confident fine fit.
[[nodiscard]] bool somethingVouchesFor(const ItemAnalysis& analysis);

// The result of a written file from its analysis: the placement and clock the writer applied
// (the fine stage's clock when it is followed, the coarse offset and drift anchors otherwise),
// the drift chart's clock, the review warnings in their fixed order, the not-found verdict and
// how much of the track fell outside the reference. Outputs and loudness are the caller's.
[[nodiscard]] SyncResult describeResult(const ItemAnalysis& analysis);

// How much of the track fell outside the reference and is not in the output, in words
// ("4.14s before the reference left out"); a second or more counts.
[[nodiscard]] QStringList leftOutNotes(const SyncResult& result);

} // namespace corvale
