// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/ffmpeglocator.h"
#include "audio/riffscreen.h"
#include "audio/samplereader.h"
#include "audio/windowreader.h"

#include "support/testenv.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

using namespace corvale;

namespace {

QByteArray chunk(const char* id, quint32 size, const QByteArray& body) {
    QByteArray header(id, 4);
    header.resize(8);
    qToLittleEndian(size, header.data() + 4);
    return header + body;
}

// 100 frames of 16-bit mono at 8 kHz with a LIST holding one entry of an unknown kind whose
// size field says entrySize.
QByteArray wavWithListEntry(quint32 entrySize) {
    const QByteArray format = QByteArray::fromHex("01000100401f0000803e000002001000");
    const QByteArray list = chunk("LIST", 16, "INFO" + chunk("ZZZZ", entrySize, "abcd"));
    const QByteArray body =
        "WAVE" + chunk("fmt ", 16, format) + list + chunk("data", 200, QByteArray(200, '\x10'));
    return chunk("RIFF", quint32(body.size()), body);
}

} // namespace

TEST(RiffScreenTest, AListEntryLongerThanTheFileIsRefusedBeforeTheLibraryHangsOnIt) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const auto write = [&](const QString& name, const QByteArray& bytes) {
        QFile file(dir.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        return file.fileName();
    };
    const QString plain = write("plain.wav", wavWithListEntry(4));
    const QString wrapping = write("wrapping.wav", wavWithListEntry(0xFFFFFFF7));
    const SyncEngine engine(8000);

    EXPECT_TRUE(riffListsArePlausible(plain));
    const auto frames = loadSamples(engine, plain, 0);
    ASSERT_TRUE(frames.ok());
    EXPECT_EQ(frames.value().size(), 100u);

    // libsndfile 1.2 would never return from opening this one.
    EXPECT_FALSE(riffListsArePlausible(wrapping));
    const auto refused = loadSamples(engine, wrapping, 0);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().kind(), CorvaleError::Kind::cannotReadAudio);
    WindowReader window;
    EXPECT_FALSE(window.open(wrapping, WindowReader::Mix::channel, 0, 16).ok());

    // The file itself is still taken: ffprobe reads its format, and ffmpeg converts it.
    const AudioFormat format = probeAudioFormat(wrapping, test::realFFprobe());
    EXPECT_TRUE(format.rateKnown);
    EXPECT_EQ(format.sampleRate, 8000.0);
}
