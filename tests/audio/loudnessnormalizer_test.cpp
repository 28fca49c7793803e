// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/loudnessnormalizer.h"

#include "support/speechgen.h"
#include "support/testenv.h"
#include "support/wavfile.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <unistd.h>

using namespace corvale;
using namespace corvale::test;
using Kind = NormalizerError::Kind;

namespace {

constexpr int rate = 48000;

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString report(const QString& inputI) {
    return QStringLiteral("[Parsed_loudnorm_0 @ 0x55a55d794600] \n{\n\t\"input_i\" : %1,\n"
                          "\t\"input_tp\" : \"-4.10\",\n\t\"input_lra\" : \"3.20\",\n"
                          "\t\"target_offset\" : \"0.12\"\n}\n")
        .arg(inputI);
}

std::optional<Kind> parseError(const QString& text) {
    const auto result = LoudnessNormalizer::parseMeasurement(text);
    return result ? std::nullopt : std::optional(result.error().kind);
}

// German number formatting in Qt and, where the system can provide it, in the C library,
// for the lifetime of the object.
class GermanLocale {
public:
    GermanLocale() {
        m_savedC = std::setlocale(LC_ALL, nullptr);
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        m_cLibrary = trySetlocale();
        if (!m_cLibrary && m_compiled.isValid()) {
            // No German locale installed: compile one into a private folder.
            QProcess localedef;
            localedef.start("localedef",
                            {"-i", "de_DE", "-f", "UTF-8", m_compiled.filePath("de_DE.UTF-8")});
            if (localedef.waitForFinished(60000) && localedef.exitCode() == 0) {
                qputenv("LOCPATH", QFile::encodeName(m_compiled.path()));
                m_cLibrary = trySetlocale();
            }
        }
    }
    ~GermanLocale() {
        std::setlocale(LC_ALL, m_savedC.c_str());
        qunsetenv("LOCPATH");
        QLocale::setDefault(m_savedQt);
    }
    [[nodiscard]] bool cLibraryIsGerman() const { return m_cLibrary; }

private:
    static bool trySetlocale() {
        for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE"}) {
            if (std::setlocale(LC_ALL, name) != nullptr)
                return true;
        }
        return false;
    }
    std::string m_savedC;
    QLocale m_savedQt;
    bool m_cLibrary = false;
    QTemporaryDir m_compiled;
};

class NormalizerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }

    template <typename T, typename Start> std::optional<NormalizerResult<T>> await(Start start) {
        std::optional<NormalizerResult<T>> result;
        start([&result](NormalizerResult<T> r) { result = std::move(r); });
        waitUntil([&] { return result.has_value(); }, 60000);
        return result;
    }

    std::optional<NormalizerResult<double>> measure(const QString& path, double target,
                                                    const QString& tool = realFFmpeg()) {
        return await<double>([&](auto done) {
            LoudnessNormalizer(tool).measureLoudness(path, target, {}, &m_context, done);
        });
    }
    std::optional<NormalizerResult<Done>> normalize(const QString& path, double target,
                                                    const QString& tool = realFFmpeg(),
                                                    std::stop_token stop = {}) {
        return await<Done>([&](auto done) {
            LoudnessNormalizer(tool).normalize(path, target, stop, &m_context, done);
        });
    }
    std::optional<NormalizerResult<Done>> applyGain(const QString& path, double gain,
                                                    const QString& tool) {
        return await<Done>([&](auto done) {
            LoudnessNormalizer(tool).applyGain(path, gain, {}, &m_context, done);
        });
    }

    QString speech(const QString& name, float peak, double seconds = 8.0) {
        const QString path = m_dir.filePath(name);
        EXPECT_TRUE(writeWav(path, speechLike(seconds, rate, 7, peak), 1, rate));
        return path;
    }
    QString fake(const QString& script) { return makeFakeTool(m_dir.path(), "fakeffmpeg", script); }
    // A stand-in that reports the given loudness, logs every call and, for a gain pass, copies
    // its input to the output so that the pass looks successful.
    QString recordingFake(const QString& inputI) {
        return fake(QStringLiteral(R"(echo "$@" >> '%1'
if [ "$5" = "-f" ]; then printf '{\n "input_i" : "%2"\n}\n' >&2; exit 0; fi
cp "$2" "$6")")
                        .arg(m_dir.filePath("calls.log"), inputI));
    }
    QStringList calls() const {
        return QString::fromUtf8(contents(m_dir.filePath("calls.log")))
            .split('\n', Qt::SkipEmptyParts);
    }

    QTemporaryDir m_dir;
    QObject m_context;
};

} // namespace

TEST(NormalizerFormatting, TargetIsTheShortestRoundTripKeepingPointZero) {
    EXPECT_EQ(LoudnessNormalizer::formatTarget(-16.0), "-16.0");
    EXPECT_EQ(LoudnessNormalizer::formatTarget(-19.0), "-19.0");
    EXPECT_EQ(LoudnessNormalizer::formatTarget(-23.0), "-23.0");
    EXPECT_EQ(LoudnessNormalizer::formatTarget(-18.5), "-18.5");
    EXPECT_EQ(LoudnessNormalizer::formatTarget(-14.1), "-14.1");
    EXPECT_EQ(LoudnessNormalizer::formatTarget(0.0), "0.0");
    EXPECT_EQ(
        LoudnessNormalizer::measureArguments("/out/Alice-synced.wav", -16.0),
        (QStringList{"-i", "/out/Alice-synced.wav", "-af",
                     "loudnorm=I=-16.0:TP=-1.5:LRA=11:print_format=json", "-f", "null", "-"}));
}

TEST(NormalizerFormatting, VolumeFilterHasFourDecimals) {
    EXPECT_EQ(LoudnessNormalizer::volumeFilter(3.2), "volume=3.2000dB");
    EXPECT_EQ(LoudnessNormalizer::volumeFilter(-2.75), "volume=-2.7500dB");
    EXPECT_EQ(LoudnessNormalizer::volumeFilter(5.0), "volume=5.0000dB");
    EXPECT_EQ(LoudnessNormalizer::volumeFilter(-9.0), "volume=-9.0000dB");
    EXPECT_EQ(LoudnessNormalizer::volumeFilter(0.123456), "volume=0.1235dB");
    EXPECT_EQ(LoudnessNormalizer::gainArguments("/o/A.wav", 5.0, "/o/A.norm-tmp.wav"),
              (QStringList{"-i", "/o/A.wav", "-af", "volume=5.0000dB", "-y", "/o/A.norm-tmp.wav"}));
}

TEST(NormalizerFormatting, TemporaryFileSitsBesideWithNormTmpBeforeTheExtension) {
    EXPECT_EQ(LoudnessNormalizer::temporaryPathFor("/out/Alice-synced.wav"),
              "/out/Alice-synced.norm-tmp.wav");
    EXPECT_EQ(LoudnessNormalizer::temporaryPathFor("/out/Ep. 12 Bob-synced.wav"),
              "/out/Ep. 12 Bob-synced.norm-tmp.wav");
    EXPECT_EQ(LoudnessNormalizer::temporaryPathFor("/out/Alice"), "/out/Alice.norm-tmp");
}

TEST(NormalizerFormatting, NumbersIgnoreAGermanLocale) {
    GermanLocale german;
    if (german.cLibraryIsGerman()) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%.4f", 5.0);
        ASSERT_STREQ(buffer, "5,0000") << "the German C locale did not take effect";
    } else {
        std::fprintf(stderr, "note: no German C locale available; checking Qt's default only\n");
    }
    ASSERT_EQ(QLocale().toString(5.5), "5,5");
    EXPECT_EQ(LoudnessNormalizer::volumeFilter(5.0), "volume=5.0000dB");
    EXPECT_EQ(LoudnessNormalizer::formatTarget(-18.5), "-18.5");
    const auto parsed = LoudnessNormalizer::parseMeasurement("{\"input_i\" : \"-23.45\"}");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed.value(), -23.45);
    EXPECT_EQ(parseError("{\"input_i\" : \"-23,45\"}"), Kind::jsonParseFailed);
}

TEST(NormalizerParsing, ReadsInputIFromTheLastBraceBlock) {
    const auto plain = LoudnessNormalizer::parseMeasurement(report("\"-23.45\""));
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain.value(), -23.45);

    const QString earlierBlock =
        "Input #0, wav, from '/out/{take 1}.wav':\n  { \"input_i\" : \"-1.0\" }\n" +
        report("\"-30.25\"") + "[out#0] size=N/A time=00:00:08.00\n";
    const auto last = LoudnessNormalizer::parseMeasurement(earlierBlock);
    ASSERT_TRUE(last);
    EXPECT_EQ(last.value(), -30.25);

    EXPECT_EQ(parseError(report("\"-23.45\"") + "{ \"input_tp\" : \"-1.0\" }"),
              Kind::jsonParseFailed)
        << "only the last block counts";
}

TEST(NormalizerParsing, RejectsMissingOrMalformedReports) {
    EXPECT_EQ(parseError(""), Kind::noMeasurementJSON);
    EXPECT_EQ(parseError("ffmpeg log without a report"), Kind::noMeasurementJSON);
    EXPECT_EQ(parseError("only a closing brace }"), Kind::noMeasurementJSON);
    EXPECT_EQ(parseError("} { \"input_i\" : \"-20.0\""), Kind::noMeasurementJSON);

    EXPECT_EQ(parseError("{ not json }"), Kind::jsonParseFailed);
    EXPECT_EQ(parseError(report("-23.45")), Kind::jsonParseFailed) << "a number, not a text";
    EXPECT_EQ(parseError("{\"input_i\" : \"-23.45\", \"count\" : 3}"), Kind::jsonParseFailed);
    EXPECT_EQ(parseError("{\"input_tp\" : \"-1.0\"}"), Kind::jsonParseFailed) << "no input_i";
    EXPECT_EQ(parseError("{\"input_i\" : \"\"}"), Kind::jsonParseFailed);
}

TEST(NormalizerParsing, InputIMustBeExactlyOneFiniteNumber) {
    for (const char* junk : {" -23.45", "-23.45 ", "-23.45dB", "LUFS -23.45", "-23.45.1", "--23",
                             "-23,45", "0x10", "+-3"}) {
        SCOPED_TRACE(junk);
        EXPECT_EQ(parseError(report(QString("\"%1\"").arg(junk))), Kind::jsonParseFailed);
    }
    // A silent file measures -inf; any gain from it would be infinite.
    for (const char* notFinite : {"-inf", "inf", "nan", "-nan", "infinity", "1e999"}) {
        SCOPED_TRACE(notFinite);
        EXPECT_EQ(parseError(report(QString("\"%1\"").arg(notFinite))), Kind::jsonParseFailed);
    }
    for (const auto& [text, value] : std::vector<std::pair<QString, double>>{
             {"-23", -23.0}, {"-70.00", -70.0}, {"+1.5", 1.5}, {"-1e1", -10.0}, {"0.00", 0.0}}) {
        const auto parsed = LoudnessNormalizer::parseMeasurement(report("\"" + text + "\""));
        ASSERT_TRUE(parsed) << text.toStdString();
        EXPECT_EQ(parsed.value(), value);
    }
}

TEST_F(NormalizerTest, BringsAQuietFileToTheTarget) {
    const QString path = speech("Alice-synced.wav", 0.05f);
    const auto before = measure(path, -16.0);
    ASSERT_TRUE(before && *before);
    ASSERT_LT(before->value(), -22.0) << "the generated file should start far from the target";

    const auto result = normalize(path, -16.0);
    ASSERT_TRUE(result);
    ASSERT_TRUE(*result);
    const auto after = measure(path, -16.0);
    ASSERT_TRUE(after && *after);
    EXPECT_NEAR(after->value(), -16.0, 1.0);
    EXPECT_FALSE(QFile::exists(LoudnessNormalizer::temporaryPathFor(path)));
    const WavContents wav = readWav(path);
    EXPECT_EQ(wav.channels, 1);
    EXPECT_EQ(wav.sampleRate, rate);
    EXPECT_EQ(wav.frames, 8 * rate);
}

TEST_F(NormalizerTest, LeavesAFileWithinHalfAUnitByteIdentical) {
    const QString path = speech("Bob-synced.wav", 0.2f);
    const auto measured = measure(path, -16.0);
    ASSERT_TRUE(measured && *measured);
    const QByteArray original = contents(path);
    for (const double off : {0.3, -0.4}) {
        const auto result = normalize(path, measured->value() + off);
        ASSERT_TRUE(result && *result);
        EXPECT_EQ(contents(path), original);
        EXPECT_FALSE(QFile::exists(LoudnessNormalizer::temporaryPathFor(path)));
    }
}

TEST_F(NormalizerTest, GainsOnlyBeyondHalfAUnitWithTheDifferenceAsGain) {
    const QString path = speech("Carol-synced.wav", 0.2f, 1.0);
    struct Case {
        QString measured;
        double target;
        QString expectedFilter; // empty: no gain pass
    };
    for (const Case& c :
         {Case{"-16.5", -16.0, ""}, Case{"-16.3", -16.0, ""}, Case{"-15.5", -16.0, ""},
          Case{"-16.51", -16.0, "volume=0.5100dB"}, Case{"-21.0", -16.0, "volume=5.0000dB"},
          Case{"-10.0", -19.0, "volume=-9.0000dB"}}) {
        SCOPED_TRACE(c.measured.toStdString());
        QFile::remove(m_dir.filePath("calls.log"));
        const auto result = normalize(path, c.target, recordingFake(c.measured));
        ASSERT_TRUE(result && *result);
        const QStringList log = calls();
        ASSERT_EQ(log.size(), c.expectedFilter.isEmpty() ? 1 : 2);
        if (!c.expectedFilter.isEmpty()) {
            EXPECT_TRUE(log.at(1).contains(" " + c.expectedFilter + " -y "));
        }
    }
}

TEST_F(NormalizerTest, NeverGainsASilentFile) {
    const QString path = m_dir.filePath("Silent-synced.wav");
    ASSERT_TRUE(writeWav(path, std::vector<float>(3 * rate, 0.0f), 1, rate));
    const QByteArray original = contents(path);
    const auto result = normalize(path, -16.0);
    ASSERT_TRUE(result);
    ASSERT_FALSE(*result);
    EXPECT_EQ(result->error().kind, Kind::jsonParseFailed);
    EXPECT_EQ(contents(path), original);
    EXPECT_FALSE(QFile::exists(LoudnessNormalizer::temporaryPathFor(path)));
}

TEST_F(NormalizerTest, RefusesAGainThatIsNotFiniteWithoutStartingTheTool) {
    const QString path = speech("Dan-synced.wav", 0.2f, 1.0);
    const QByteArray original = contents(path);
    const QString marker = m_dir.filePath("ran");
    const QString tool = fake(QString("touch '%1'").arg(marker));
    for (const double gain :
         {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
          std::numeric_limits<double>::quiet_NaN()}) {
        const auto result = applyGain(path, gain, tool);
        ASSERT_TRUE(result);
        ASSERT_FALSE(*result);
        EXPECT_EQ(result->error().kind, Kind::jsonParseFailed);
    }
    EXPECT_FALSE(QFile::exists(marker));
    EXPECT_EQ(contents(path), original);
}

TEST_F(NormalizerTest, AFailedRenameKeepsTheOriginalAndTheProcessedCopy) {
    // The original's name is taken by a folder the rename cannot replace.
    const QString path = m_dir.filePath("Erin-synced.wav");
    ASSERT_TRUE(QDir().mkpath(path + "/keep"));
    const auto result = applyGain(path, 3.0, fake(R"(printf processed > "$6")"));
    ASSERT_TRUE(result);
    ASSERT_FALSE(*result);
    EXPECT_EQ(result->error().kind, Kind::fileSystem);
    EXPECT_FALSE(result->error().detail.isEmpty());
    EXPECT_TRUE(QFileInfo(path + "/keep").isDir());
    EXPECT_EQ(contents(LoudnessNormalizer::temporaryPathFor(path)), "processed");
}

TEST_F(NormalizerTest, AGainPassThatLeftNoOutputLosesNothing) {
    // Removing the original before moving the copy into place would lose it here.
    const QString path = speech("Ivy-synced.wav", 0.2f, 1.0);
    const QByteArray original = contents(path);
    const auto result = applyGain(path, 3.0, fake("exit 0"));
    ASSERT_TRUE(result);
    ASSERT_FALSE(*result);
    EXPECT_EQ(result->error().kind, Kind::fileSystem);
    EXPECT_EQ(contents(path), original);
}

TEST_F(NormalizerTest, AFailedRenameInAReadOnlyFolderLosesNothing) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind the superuser";
    const QString folder = m_dir.filePath("locked");
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString path = folder + "/Finn-synced.wav";
    ASSERT_TRUE(writeWav(path, speechLike(1.0, rate, 3, 0.1f), 1, rate));
    const QByteArray original = contents(path);
    const auto result =
        applyGain(path, 3.0, fake(R"sh(printf processed > "$6"; chmod 555 "$(dirname "$6")")sh"));
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    ASSERT_TRUE(result);
    ASSERT_FALSE(*result);
    EXPECT_EQ(result->error().kind, Kind::fileSystem);
    EXPECT_EQ(contents(path), original);
    EXPECT_EQ(contents(LoudnessNormalizer::temporaryPathFor(path)), "processed");
}

TEST_F(NormalizerTest, AFailingToolReportsItsExitStatusAndTouchesNothing) {
    const QString path = speech("Gus-synced.wav", 0.2f, 1.0);
    const QByteArray original = contents(path);
    const QString tool = fake("echo 'Invalid argument' >&2\nexit 3");
    const auto measured = measure(path, -16.0, tool);
    ASSERT_TRUE(measured && !*measured);
    EXPECT_EQ(measured->error().kind, Kind::ffmpegFailed);
    EXPECT_EQ(measured->error().exitStatus, 3);
    const auto gained = applyGain(path, 4.0, tool);
    ASSERT_TRUE(gained && !*gained);
    EXPECT_EQ(gained->error().kind, Kind::ffmpegFailed);
    EXPECT_EQ(gained->error().exitStatus, 3);
    EXPECT_EQ(contents(path), original);

    const auto noReport = measure(path, -16.0, fake("echo 'all fine, no report' >&2"));
    ASSERT_TRUE(noReport && !*noReport);
    EXPECT_EQ(noReport->error().kind, Kind::noMeasurementJSON);
}

TEST_F(NormalizerTest, RunFFmpegReturnsTheErrorStreamAsUtf8OrNothing) {
    auto run = [&](const QString& script) {
        return await<QString>([&](auto done) {
            LoudnessNormalizer(fake(script)).runFFmpeg({"a b"}, {}, &m_context, done);
        });
    };
    const auto text = run(R"(echo "out"; printf '%s – ok' "$1" >&2)");
    ASSERT_TRUE(text && *text);
    EXPECT_EQ(text->value(), "a b – ok");
    const auto invalid = run(R"(printf '{"input_i" : "-20.0"} \377' >&2)");
    ASSERT_TRUE(invalid && *invalid);
    EXPECT_EQ(invalid->value(), "");
}

TEST_F(NormalizerTest, StartFailureAndCancellationArePassedOn) {
    const QString path = speech("Hal-synced.wav", 0.2f, 1.0);
    const auto missing = measure(path, -16.0, m_dir.filePath("nope/ffmpeg"));
    ASSERT_TRUE(missing && !*missing);
    EXPECT_EQ(missing->error().kind, Kind::startFailed);
    EXPECT_FALSE(missing->error().detail.isEmpty());

    const QString marker = m_dir.filePath("ran");
    std::stop_source source;
    source.request_stop();
    const auto cancelled =
        normalize(path, -16.0, fake(QString("touch '%1'").arg(marker)), source.get_token());
    ASSERT_TRUE(cancelled && !*cancelled);
    EXPECT_EQ(cancelled->error().kind, Kind::cancelled);
    EXPECT_FALSE(QFile::exists(marker));
}
