// Failures through the entry point: the first result code wins and no file or
// pixel transfer follows it; corrupt files and unreadable sizes are refused;
// the rows handed to advanceState are described as the host expects.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

#include <cstring>

#include "plugin_test_support.h"
#include "streams/image_io.h"
#include "test_support.h"
#include "tests/host/document_convert.h"

namespace qvr::test {
namespace {

using qvrhost::TestHost;

// Runs ReadStart and ReadContinue on `bytes` as a file.
int16_t openBytes(TestHost& host, const std::vector<uint8_t>& bytes) {
    const std::string path = tempPath("open.qvr");
    writeFile(path, bytes);
    return host.open(path);
}

TEST(ReadFailures, EndOfFileStopsEveryLaterTransfer) {
    const auto file = encodeImage(sampleImage(40, 12, 32));
    uint32_t aux;
    std::memcpy(&aux, file.data() + 36, 4);
    TestHost host(moduleEntry());
    EXPECT_EQ(openBytes(host, std::vector<uint8_t>(file.begin(), file.begin() + aux / 2)), eofErr);
    EXPECT_LT(host.transfers.size(), 12u);
    for (const auto& t : host.transfers) EXPECT_EQ(t.planes, 3);  // the alpha plane never starts
    // The codec still runs both passes to their ends, reporting progress, but
    // nothing more reaches the file or the document.
    EXPECT_EQ(host.progress.size(), 24u);
}

TEST(ReadFailures, ReadErrorOnABadHandle) {
    TestHost host(moduleEntry());
    host.document() = qvrhost::documentFromRaster(sampleImage(4, 2, 8));
    host.record().imageSize = Point{2, 4};
    host.setDataFork(-1);
    EXPECT_EQ(host.call(formatSelectorReadContinue), readErr);
    EXPECT_TRUE(host.transfers.empty());
}

TEST(ReadFailures, CorruptStreamsAreReported) {
    // The first row of an indexed file fills past the width.
    auto file = encodeImage(sampleImage(8, 3, 8));
    file.resize(816);
    file.insert(file.end(), {0xFD, 0x10, 0x01});
    TestHost colour(moduleEntry());
    EXPECT_EQ(openBytes(colour, file), formatCannotRead);
    EXPECT_TRUE(colour.transfers.empty());

    // A complete colour plane, then an alpha plane whose second row overruns.
    auto withAlpha = encodeImage(sampleImage(8, 3, 32));
    uint32_t aux;
    std::memcpy(&aux, withAlpha.data() + 36, 4);
    withAlpha.resize(aux);
    withAlpha.insert(withAlpha.end(), {0xFD, 0x04, 0x07, 0xFD, 0x05, 0x07, 0x00});
    TestHost alpha(moduleEntry());
    EXPECT_EQ(openBytes(alpha, withAlpha), formatCannotRead);
    EXPECT_EQ(alpha.transfers.size(), 4u);  // three colour rows, one alpha row
}

void setOffset(std::vector<uint8_t>& file, size_t at, uint32_t value) { std::memcpy(&file[at], &value, 4); }

// An offset outside the file never lets the open succeed: at or beyond 2 GiB
// the seek itself fails and the file is damaged; below, the reads find the end.
TEST(ReadFailures, OffsetsOutsideTheFileAreDamage) {
    auto indexed = encodeImage(sampleImage(8, 3, 8));
    auto dataFar = indexed;
    setOffset(dataFar, 32, 0x80000000u);
    TestHost data(moduleEntry());
    EXPECT_EQ(openBytes(data, dataFar), formatCannotRead);
    EXPECT_TRUE(data.transfers.empty());

    auto paletteFar = indexed;
    setOffset(paletteFar, 36, 0xFFFFFF00u);
    TestHost palette(moduleEntry());
    EXPECT_EQ(openBytes(palette, paletteFar), formatCannotRead);
    ASSERT_EQ(palette.results.size(), 2u);  // ReadStart already refuses it
    EXPECT_EQ(palette.results[1].result, formatCannotRead);

    auto withAlpha = encodeImage(sampleImage(8, 3, 32));
    setOffset(withAlpha, 36, 0x90000000u);
    TestHost alpha(moduleEntry());
    EXPECT_EQ(openBytes(alpha, withAlpha), formatCannotRead);
    EXPECT_EQ(alpha.transfers.size(), 3u);  // the colour rows, nothing from the alpha offset

    auto dataPastEnd = indexed;
    setOffset(dataPastEnd, 32, static_cast<uint32_t>(indexed.size() + 100));
    TestHost pastEnd(moduleEntry());
    EXPECT_EQ(openBytes(pastEnd, dataPastEnd), eofErr);
    EXPECT_TRUE(pastEnd.transfers.empty());
}

TEST(ReadFailures, AnAdvanceStateErrorEndsTheTransfers) {
    TestHost host(moduleEntry());
    host.failAtTransfer = 2;
    host.transferFailure = -1234;
    EXPECT_EQ(host.open(samplePath("tiles-rgb.qvr")), -1234);
    EXPECT_EQ(host.transfers.size(), 3u);
}

TEST(WriteFailures, WriteErrorAndFullDisk) {
    TestHost host(moduleEntry());
    host.document() = qvrhost::documentFromRaster(sampleImage(30, 20, 24));
    const std::string path = tempPath("readonly.qvr");
    writeFile(path, {});
    const int readOnly = ::open(path.c_str(), O_RDONLY);
    host.setDataFork(readOnly);
    host.describeDocument();
    EXPECT_EQ(host.call(formatSelectorWriteStart), writErr);
    ::close(readOnly);
    EXPECT_EQ(host.transfers.size(), 0u);  // the header write failed before any row

    const int full = ::open("/dev/full", O_WRONLY);
    if (full < 0) GTEST_SKIP() << "no /dev/full here";
    TestHost disk(moduleEntry());
    disk.document() = qvrhost::documentFromRaster(sampleImage(30, 20, 24));
    disk.describeDocument();
    disk.setDataFork(full);
    EXPECT_EQ(disk.call(formatSelectorWriteStart), dskFulErr);
    EXPECT_TRUE(disk.transfers.empty());
    ::close(full);
}

// A write that moves fewer bytes than asked lost the rest: the file size
// limit cuts the 48-byte header short, as a disk that fills up would.
TEST(WriteFailures, AShortWriteIsAFullDisk) {
    TestHost host(moduleEntry());
    host.document() = qvrhost::documentFromRaster(sampleImage(30, 20, 24));
    host.describeDocument();
    const std::string path = tempPath("short.qvr");
    const intptr_t file = qvrhost::openHostFile(path, true);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 10;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    host.setDataFork(file);
    const int16_t result = host.call(formatSelectorWriteStart);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    qvrhost::closeHostFile(file);
    EXPECT_EQ(result, dskFulErr);
    EXPECT_EQ(readFile(path).size(), 10u);
    EXPECT_TRUE(host.transfers.empty());
}

// A file that cannot seek back to rewrite the header (here a pipe) is a
// failed save, not a success with a wrong header.
TEST(WriteFailures, ASeekThatFailsWhileWritingIsAWriteError) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    TestHost host(moduleEntry());
    host.document() = qvrhost::documentFromRaster(sampleImage(6, 2, 32));
    host.describeDocument();
    host.setDataFork(ends[1]);
    EXPECT_EQ(host.call(formatSelectorWriteStart), writErr);
    ::close(ends[0]);
    ::close(ends[1]);
}

TEST(WriteFailures, UnreadableSizesAreRefusedBeforeAnyByte) {
    for (auto [w, h] : {std::pair{1, 5}, std::pair{8192, 2}, std::pair{10, 8192}}) {
        for (int16_t selector : {formatSelectorEstimateStart, formatSelectorWriteStart}) {
            TestHost host(moduleEntry());
            host.document().allocate(plugInModeRGBColor, w, h, 3);
            host.describeDocument();
            const std::string path = tempPath("refused.qvr");
            const intptr_t file = qvrhost::openHostFile(path, true);
            host.setDataFork(file);
            EXPECT_EQ(host.call(selector), formatBadParameters) << w << "x" << h;
            qvrhost::closeHostFile(file);
            EXPECT_TRUE(readFile(path).empty());
            EXPECT_TRUE(host.transfers.empty());
        }
    }
}

TEST(HostRows, RectanglesAndPlanesForEachKind) {
    TestHost host(moduleEntry());
    const auto file = encodeImage(sampleImage(100, 8, 32));
    ASSERT_EQ(openBytes(host, file), noErr);
    ASSERT_EQ(host.transfers.size(), 16u);
    const qvrhost::Transfer& colourRow5 = host.transfers[5];
    EXPECT_EQ(colourRow5.rect.top, 5);
    EXPECT_EQ(colourRow5.rect.left, 0);
    EXPECT_EQ(colourRow5.rect.bottom, 6);
    EXPECT_EQ(colourRow5.rect.right, 100);
    EXPECT_EQ(colourRow5.loPlane, 0);
    EXPECT_EQ(colourRow5.hiPlane, 2);
    EXPECT_EQ(colourRow5.colBytes, 3);
    EXPECT_EQ(colourRow5.planeBytes, 1);
    EXPECT_EQ(colourRow5.rowBytes, 24576);
    EXPECT_EQ(colourRow5.imageMode, plugInModeRGBColor);
    EXPECT_EQ(colourRow5.planes, 3);
    const qvrhost::Transfer& alphaRow0 = host.transfers[8];
    EXPECT_EQ(alphaRow0.planes, 4);
    EXPECT_EQ(alphaRow0.loPlane, 3);
    EXPECT_EQ(alphaRow0.hiPlane, 3);
    EXPECT_EQ(alphaRow0.colBytes, 1);
    EXPECT_EQ(alphaRow0.rowBytes, 8192);

    TestHost indexed(moduleEntry());
    ASSERT_EQ(indexed.open(samplePath("sunset-indexed.qvr")), noErr);
    EXPECT_EQ(indexed.transfers[0].imageMode, plugInModeIndexedColor);
    EXPECT_EQ(indexed.transfers[0].planes, 1);
    EXPECT_EQ(indexed.transfers[0].hiPlane, 0);
    EXPECT_EQ(indexed.transfers[0].depth, 8);
}

TEST(HostRows, ContinueWithoutAdvanceStateFailsInsteadOfCrashing) {
    TestHost host(moduleEntry());
    host.offerAdvanceState = false;
    host.record().imageSize = Point{64, 96};
    host.setDataFork(qvrhost::openHostFile(samplePath("sunset-indexed.qvr"), false));
    EXPECT_EQ(host.call(formatSelectorReadContinue), formatBadParameters);
    qvrhost::closeHostFile(host.record().dataFork);
}

}  // namespace
}  // namespace qvr::test
