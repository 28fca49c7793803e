// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "publishfile.h"
#include "result.h"
#include "unpublishedfile.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>
#include <span>
#include <stop_token>

struct sf_private_tag;

namespace corvale {

class BackgroundMeter;

// A mono 16-bit WAV under construction: a file beside the final one that no name leads to
// (see UnpublishedFile) and that gets its name only when complete, so an interrupted write
// never looks like a result and even a killed one leaves nothing. Destroyed without commit(),
// it removes the file. Lengths are in frames.
//
// Samples reach it in two ways that give the same bytes: gathered here (floats converted as
// libsndfile converts them, shorts, silence) and written in large blocks behind the header
// libsndfile wrote, or copied by the kernel from another file's 16-bit mono data (appendCopy),
// which costs no copy through this process and nothing at all on file systems that share
// extents.
class PartialOutput {
public:
    explicit PartialOutput(
        UnpublishedFile::Kind kind = UnpublishedFile::Kind::unnamedWhereSupported);
    ~PartialOutput();
    PartialOutput(const PartialOutput&) = delete;
    PartialOutput& operator=(const PartialOutput&) = delete;

    // Errors: the system's or the library's, passed on.
    [[nodiscard]] Result<Done> create(const QString& finalPath, int sampleRate);

    [[nodiscard]] std::int64_t length() const { return m_length; }

    // Floats in -1 ... 1 (full scale maps to 32768 and clips; 16-bit values come back exactly)
    // and shorts as they are. Errors: the system's, passed on.
    [[nodiscard]] Result<Done> append(const float* samples, std::int64_t frames);
    [[nodiscard]] Result<Done> append(const short* samples, std::int64_t frames);
    // Errors: cannotWriteAudio "write buffer alloc", the system's.
    [[nodiscard]] Result<Done> appendSilence(std::int64_t frames);

    // Appends up to `frames` frames of little-endian 16-bit mono samples that start at byte
    // `offset` of descriptor fd, copied in the kernel. Returns the frames appended: fewer when
    // the source ends early, or when the kernel refuses the copy (different file systems on an
    // old kernel, no support), after which kernelCopyRefused() is true and every later call
    // appends nothing; the rest is then the caller's to copy. Checks stop between steps of a
    // few megabytes. Errors: the system's (passedOn), cancelled.
    [[nodiscard]] Result<std::int64_t> appendCopy(int fd, std::int64_t offset, std::int64_t frames,
                                                  const std::stop_token& stop);
    [[nodiscard]] bool kernelCopyRefused() const { return m_kernelCopyRefused; }

    // Writes floats (converted as append() does) as frames `frame` on, ahead of what has been
    // appended: another thread may do this while this one appends the frames before them.
    // adoptAhead(count) then counts them in, once the appends have reached `frame`.
    // Errors: the system's, passed on.
    [[nodiscard]] Result<Done> writeAhead(std::int64_t frame, std::span<const float> samples);
    // Errors: cannotWriteAudio "write position lost" when the frames ahead do not follow
    // directly; the system's.
    [[nodiscard]] Result<Done> adoptAhead(std::int64_t firstFrame, std::int64_t frames);

    // From here on every frame appended, whichever way, is also added to meter as the file
    // holds it (as it is written, or read back after a kernel copy). Set before the first
    // append; the meter must outlive the appends.
    void meterInto(BackgroundMeter* meter) { m_meter = meter; }

    // Multiplies every frame written so far by the gain in place (see applyGain), adding the
    // frames as they become to meter when one is given. Returns how many samples were clipped.
    // Before commit(). Errors: the system's (passedOn), cancelled.
    [[nodiscard]] Result<std::int64_t> scale(double gainDb, const std::stop_token& stop,
                                             BackgroundMeter* meter = nullptr);

    // Completes the file and publishes it under the final name without ever replacing what
    // stands there; a name taken meanwhile gives way to the one nextName offers. Returns the
    // path written. Errors: the system's or library's; cannotWriteAudio for a name taken with
    // no next one.
    [[nodiscard]] Result<QString> commit(const NextName& nextName = {});

private:
    void discard();
    template <typename Fill> [[nodiscard]] Result<Done> gather(std::int64_t frames, Fill&& fill);
    [[nodiscard]] Result<Done> flush();
    [[nodiscard]] Result<Done> writeAt(const char* bytes, std::int64_t count, std::int64_t at);
    [[nodiscard]] Result<Done> writeLengths();
    [[nodiscard]] Result<Done> meterUpTo(std::int64_t frame);
    [[nodiscard]] Result<std::int64_t> readFrames(std::int64_t first, std::int64_t count);

    UnpublishedFile::Kind m_kind;
    UnpublishedFile m_unpublished;
    QByteArray m_finalPath;
    int m_fd = -1; // m_unpublished's
    sf_private_tag* m_file = nullptr;
    std::int64_t m_dataOffset = 0; // byte of the first frame
    std::int64_t m_length = 0;     // frames written and pending
    bool m_kernelCopyRefused = false;
    std::unique_ptr<short[]> m_pending; // frames gathered, not yet written
    std::int64_t m_pendingFrames = 0;
    BackgroundMeter* m_meter = nullptr;
    std::int64_t m_metered = 0;        // frames added to m_meter
    std::unique_ptr<short[]> m_frames; // frames read back, for the meter and the gain
};

} // namespace corvale
