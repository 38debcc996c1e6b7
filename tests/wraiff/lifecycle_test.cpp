// SPDX-License-Identifier: MIT
// Opening (argument checks and their order), closing, destruction of an open
// writer, and the report.
#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <sstream>
#include <vector>

#include "tests/wraiff/WriterTestUtil.h"

using testsupport::Bytes;
using wraifftest::thrownMessage;

TEST(WraiffLifecycle, OpenChecksArgumentsInOrderAndAcceptsTheirLimits) {
    testsupport::TempDir dir;
    const std::string p = dir.file("a.aif");
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        const char* name;
        double rate;
        short channels, bits;
        const char* message;
    } table[] = {
        {nullptr, 0.5, 0, 3, "No filename!\n"},
        {"", 0.5, 0, 3, "Empty filename!\n"},
        {p.c_str(), 0.999, 0, 3, "Samplerate out of range!\n"},
        {p.c_str(), 128000.5, 0, 3, "Samplerate out of range!\n"},
        {p.c_str(), nan, 4, 16, "Samplerate out of range!\n"},
        {p.c_str(), 1.0, 0, 3, "Too many or too less channels!\n"},
        {p.c_str(), 1.0, -1, 16, "Too many or too less channels!\n"},
        {p.c_str(), 1.0, 129, 16, "Too many or too less channels!\n"},
        {p.c_str(), 1.0, 1, 0, "Wrong number of bits!\n"},
        {p.c_str(), 1.0, 1, 4, "Wrong number of bits!\n"},
        {p.c_str(), 1.0, 1, 12, "Wrong number of bits!\n"},
        {p.c_str(), 1.0, 1, 65, "Wrong number of bits!\n"},
        {p.c_str(), 1.0, 1, 72, "Wrong number of bits!\n"},
        {p.c_str(), 1.0, 1, -8, "Wrong number of bits!\n"},
        {p.c_str(), 1.0, 1, 8, ""},
        {p.c_str(), 128000.0, 128, 64, ""},
    };
    for (const auto& t : table) {
        SCOPED_TRACE(t.message);
        EXPECT_EQ(thrownMessage([&] { WRAIFF w(t.name, t.rate, t.channels, t.bits); }), t.message);
        WRAIFF w;
        EXPECT_EQ(thrownMessage([&] { w.open(t.name, t.rate, t.channels, t.bits); }), t.message);
        EXPECT_EQ(w.is_open(), *t.message == '\0');
        EXPECT_EQ(testsupport::fileExists(p), *t.message == '\0');
        std::remove(p.c_str());
    }
}

TEST(WraiffLifecycle, OpenOnAnOpenWriterLeavesItsFileAlone) {
    testsupport::TempDir dir;
    const std::string first = dir.file("first.aif"), second = dir.file("second.aif");
    const short frame[] = {1, 2};
    WRAIFF w(first.c_str(), 44100.0, 2, 16);
    w.write(frame, 1);
    EXPECT_EQ(thrownMessage([&] { w.open(second.c_str(), 44100.0, 2, 12); }),
              "Wrong number of bits!\n");
    EXPECT_EQ(thrownMessage([&] { w.open(second.c_str(), 44100.0, 2, 16); }),
              "An AIFF file is already open!\n");
    EXPECT_FALSE(testsupport::fileExists(second));
    w.write(frame, 1);
    w.close();
    EXPECT_EQ(wraifftest::dataOf(first), (Bytes{0, 1, 0, 2, 0, 1, 0, 2}));
}

TEST(WraiffLifecycle, UnopenableFileLeavesTheWriterClosed) {
    testsupport::TempDir dir;
    WRAIFF w;
    for (const std::string& bad : {dir.file("missing/x.aif"), dir.path()}) {
        EXPECT_EQ(thrownMessage([&] { w.open(bad.c_str(), 44100.0, 4, 16); }),
                  "Could not open AIFF file!\n");
        EXPECT_FALSE(w.is_open());
    }
    EXPECT_EQ(thrownMessage([&] { WRAIFF v(dir.path().c_str(), 44100.0, 4, 16); }),
              "Could not open AIFF file!\n");
    w.open(dir.file("ok.aif").c_str(), 44100.0, 4, 16);
    EXPECT_TRUE(w.is_open());
}

TEST(WraiffLifecycle, CloseFinishesOnceAndTheDestructorFinishesTheSame) {
    testsupport::TempDir dir;
    const std::string closed = dir.file("closed.aif"), dropped = dir.file("dropped.aif");
    std::vector<double> block(3 * 500);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = (static_cast<int>(i % 200) - 100) / 90.0;
    std::ostringstream warnings;
    {
        WRAIFF w(closed.c_str(), 22050.0, 3, 24);
        w.warnings_to(&warnings);
        w.write(block.data(), 500);
        w.close();
        EXPECT_FALSE(w.is_open());
        EXPECT_EQ(thrownMessage([&] { w.close(); }), "No AIFF file currently open!\n");
        std::ostringstream os;
        EXPECT_EQ(thrownMessage([&] { w.info(os); }), "No AIFF file currently open!\n");
    }
    {
        WRAIFF w(dropped.c_str(), 22050.0, 3, 24);
        w.warnings_to(&warnings);
        w.write(block.data(), 500);
    }
    // each file clipped; neither finish had anything to report
    EXPECT_EQ(warnings.str(), "Clipped!\nClipped!\n");
    const Bytes a = testsupport::readFile(closed);
    EXPECT_EQ(a.size(), tarvio::aiff::kHeaderBytes + 500u * 9u);
    EXPECT_EQ(tarvio::bytes::getU32BE(&a[tarvio::aiff::kFramesAt]), 500u);
    EXPECT_EQ(testsupport::readFile(dropped), a);
}

TEST(WraiffLifecycle, ReportOfTenSecondsOfFourChannels) {
    testsupport::TempDir dir;
    const std::string path = dir.file("report.aif");
    std::vector<short> block(4 * 44100, 100);
    WRAIFF w(path.c_str(), 44100.0, 4, 16);
    for (int i = 0; i < 10; ++i)
        w.write(block.data(), 44100);
    std::ostringstream os;
    w.info(os);
    const std::string rule(38, '-');
    EXPECT_EQ(os.str(), rule + "\n   AIFF file: " + path +
                            "\n    channels: 4\n      frames: 441000\n        bits: 16\n"
                            "  samplerate: 44100 Hz\n bytes/frame: 8\n"
                            "    filesize: 3528054 bytes\n    duration: 10 seconds\n" +
                            rule + "\n");
    w.close();
    EXPECT_EQ(testsupport::readFile(path).size(), 3528054u);
}

TEST(WraiffLifecycle, ReportDurationUnitsAndClipLine) {
    testsupport::TempDir dir;
    const std::string path = dir.file("d.aif");
    const struct {
        double rate;
        long frames;
        int clips;
        std::string tail;
    } table[] = {
        {1.0, 90, 0, "1.5 minutes\n"},
        {2.0, 119, 0, "59.5 seconds\n"},
        {1.0, 60, 1, "1 minutes\n     clipped: 1 sample!\n"},
        {1.0, 7200, 2, "2 hours\n     clipped: 2 samples!\n"},
        {8000.0, 0, 0, "0 seconds\n"},
    };
    std::vector<double> samples(7200, 0.0);
    samples[0] = samples[1] = 5.0;
    for (const auto& t : table) {
        WRAIFF w(path.c_str(), t.rate, 1, 8);
        w.warnings_to(nullptr);
        w.write(samples.data() + 2 - t.clips, t.frames);
        std::ostringstream os;
        w.info(os);
        const std::string text = os.str();
        const std::size_t at = text.find("    duration: ");
        ASSERT_NE(at, std::string::npos);
        EXPECT_EQ(text.substr(at + 14), t.tail + std::string(38, '-') + "\n");
    }
}

TEST(WraiffLifecycle, ReportRefusesAFailedStreamFirst) {
    testsupport::TempDir dir;
    std::ostringstream failed;
    failed.setstate(std::ios::failbit);
    WRAIFF w;
    EXPECT_EQ(thrownMessage([&] { w.info(failed); }), "NULL argument!\n");
    std::ostringstream fine;
    EXPECT_EQ(thrownMessage([&] { w.info(fine); }), "No AIFF file currently open!\n");
    w.open(dir.file("x.aif").c_str(), 44100.0, 4, 16);
    EXPECT_EQ(thrownMessage([&] { w.info(failed); }), "NULL argument!\n");
    EXPECT_EQ(failed.str(), "");
}
