// SPDX-License-Identifier: MIT
// The batches of the writing thread arrive whole and in order, whatever the
// sizes and alignments of the pieces appended to them, and a failed write
// is reported and stops the writing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "render/BatchWriter.h"

namespace {

using tarvio::render::Batch;
using tarvio::render::BatchWriter;

TEST(BatchWriter, BatchesArriveWholeAndInOrder) {
    constexpr std::size_t kCapacity = 4096;
    std::vector<unsigned char> written;  // touched by the writing thread only until finish()
    BatchWriter writer(
        3, [](Batch& b) { b.bytes.resize(kCapacity); },
        [&written](const Batch& b) {
            written.insert(written.end(), b.bytes.begin(), b.bytes.begin() + b.used);
            return std::string();
        });
    std::vector<unsigned char> expected;
    std::vector<unsigned char> piece;
    unsigned value = 1;
    // Pieces of 1 to 61 bytes, so that they start and end at every offset
    // of the 16-byte stores.
    for (std::size_t size = 1; expected.size() < 20 * kCapacity; size = size % 61 + 1) {
        piece.resize(size);
        for (unsigned char& c : piece)
            c = static_cast<unsigned char>(value = value * 1103515245u + 12345u);
        if (writer.current().used + size > kCapacity) {
            ASSERT_EQ(writer.submit(), "");
        }
        writer.append(piece.data(), size);
        expected.insert(expected.end(), piece.begin(), piece.end());
    }
    ASSERT_EQ(writer.finish(), "");
    EXPECT_EQ(written, expected);
}

TEST(BatchWriter, AFailedWriteIsReportedAndEndsTheWriting) {
    int calls = 0;
    BatchWriter writer(
        2, [](Batch& b) { b.bytes.resize(16); },
        [&calls](const Batch&) {
            ++calls;
            return std::string("No space left on device");
        });
    const unsigned char byte = 7;
    std::string failure;
    for (int i = 0; i < 10 && failure.empty(); ++i) {
        writer.append(&byte, 1);
        failure = writer.submit();
    }
    writer.append(&byte, 1);
    const std::string last = writer.finish();
    EXPECT_EQ(last, "No space left on device");
    EXPECT_EQ(calls, 1);
}

}  // namespace
