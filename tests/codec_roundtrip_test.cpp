// Whole images written and read back through the memory and file bindings,
// and the bindings' own rules (first failure wins, seeks stay inside the data).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <random>

#include "codec/internal/measure.h"
#include "codec/internal/pixels.h"
#include "codec/reader.h"
#include "codec/writer.h"
#include "streams/image_io.h"
#include "streams/memory_codec.h"
#include "streams/rgb_rows.h"
#include "test_support.h"

namespace qvr::test {
namespace {

enum class Pattern { Noise, Flat, RepeatedRows, Pairs, Gradient, Mixed };
const Pattern ALL_PATTERNS[] = {Pattern::Noise, Pattern::Flat,     Pattern::RepeatedRows,
                                Pattern::Pairs, Pattern::Gradient, Pattern::Mixed};

// One sample of a plane; `range` limits values so that noise has some runs.
uint8_t sampleAt(Pattern pattern, std::mt19937& rng, int32_t x, int32_t y, int32_t channel) {
    switch (pattern) {
    case Pattern::Noise: return static_cast<uint8_t>(rng());
    case Pattern::Flat: return static_cast<uint8_t>(x < 40 ? 0xFF : 17 * channel);
    case Pattern::RepeatedRows: return static_cast<uint8_t>((x * 7 + channel * 31 + (y / 3) * 5) & 0xFF);
    case Pattern::Pairs: return static_cast<uint8_t>(x % 2 ? 200 + channel : y % 5);
    case Pattern::Gradient: return static_cast<uint8_t>(x + y + channel * 40);
    case Pattern::Mixed: return static_cast<uint8_t>(rng() % 4 == 0 ? rng() : (x / 9 + y / 4) * 29);
    }
    return 0;
}

RasterImage makeImage(int32_t width, int32_t height, int32_t depth, Pattern pattern) {
    std::mt19937 rng(static_cast<unsigned>(width * 131 + height * 7 + depth));
    RasterImage image;
    image.allocate(width, height, depth);
    for (size_t i = 0; i < image.palette.size(); ++i) image.palette[i] = static_cast<uint8_t>(rng());
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            const size_t p = static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x);
            if (depth == 8)
                image.indices[p] = sampleAt(pattern, rng, x, y, 0);
            else
                for (int32_t c = 0; c < 3; ++c)
                    image.rgb[3 * p + static_cast<size_t>(c)] = sampleAt(pattern, rng, x, y, c);
            if (depth == 32) image.alpha[p] = sampleAt(pattern, rng, x + 3, y, 3);
        }
    return image;
}

// Calls check(image, what) for every depth and pattern at each size.
template <typename Check>
void forEachVariedImage(std::initializer_list<std::pair<int32_t, int32_t>> sizes, Check check) {
    for (int32_t depth : {8, 24, 32})
        for (Pattern pattern : ALL_PATTERNS)
            for (auto [w, h] : sizes)
                check(makeImage(w, h, depth, pattern), "depth " + std::to_string(depth) + " pattern " +
                                                           std::to_string(static_cast<int>(pattern)) + " " +
                                                           std::to_string(w) + "x" + std::to_string(h));
}

TEST(RoundTrip, EveryKindOverVariedImages) {
    forEachVariedImage({{2, 1}, {3, 2}, {17, 9}, {300, 7}, {600, 5}},
                       [](const RasterImage& image, const std::string& what) {
                           const Bytes file = encodeImage(image);
                           ASSERT_FALSE(file.empty()) << what;
                           RasterImage back;
                           ASSERT_EQ(decodeBytes(file, back), "") << what;
                           expectSameImage(back, keptByQvr(image), what);
                           // Writing what was read gives the same bytes again.
                           RasterImage again;
                           ASSERT_EQ(decodeBytes(encodeImage(back), again), "") << what;
                           expectSameImage(again, back, what);
                       });
}

TEST(RoundTrip, EveryIndexValueAndAlpha255) {
    RasterImage image;
    image.allocate(256, 3, 8);
    for (size_t i = 0; i < image.indices.size(); ++i) image.indices[i] = static_cast<uint8_t>(i * 5 + i / 256);
    RasterImage back;
    ASSERT_EQ(decodeBytes(encodeImage(image), back), "");
    expectSameImage(back, keptByQvr(image), "indices");

    RasterImage opaque;
    opaque.allocate(40, 4, 32);
    std::fill(opaque.alpha.begin(), opaque.alpha.end(), uint8_t{255});
    ASSERT_EQ(decodeBytes(encodeImage(opaque), back), "");
    EXPECT_EQ(back.alpha, std::vector<uint8_t>(160, 246));
}

TEST(RoundTrip, FileBindingMatchesMemoryBinding) {
    const RasterImage image = makeImage(123, 45, 32, Pattern::Mixed);
    const std::string path = ::testing::TempDir() + "qvr_roundtrip.qvr";
    {
        FileStream out(path, FileStream::Mode::Write);
        ASSERT_TRUE(out.isOpen());
        ASSERT_EQ(saveQvr(out, image), "");
        ASSERT_TRUE(out.close());
    }
    FileStream in(path, FileStream::Mode::Read);
    RasterImage back;
    ASSERT_EQ(loadQvr(in, back), "");
    expectSameImage(back, keptByQvr(image), "file");
    std::remove(path.c_str());
}

TEST(Binding, CutShortColourPlaneStopsBeforeTheAlphaPlane) {
    const RasterImage image = makeImage(50, 20, 32, Pattern::Noise);
    const Bytes file = encodeImage(image);
    FileHeader header;
    std::memcpy(&header, file.data(), sizeof header);
    Bytes cut(file.begin(), file.begin() + (header.auxOffset / 2));
    MemoryStream stream(cut);
    RasterImage back;
    const std::string problem = loadQvr(stream, back);
    EXPECT_NE(problem.find("colour plane"), std::string::npos) << problem;
    EXPECT_EQ(stream.failure(), StreamFailure::EndOfData);
    EXPECT_EQ(stream.rowsMoved(ROW_KIND_ALPHA), 0);
    EXPECT_LT(stream.rowsMoved(ROW_KIND_RGB), 20);
}

TEST(Binding, CutShortAlphaPlaneIsReported) {
    const Bytes file = encodeImage(makeImage(50, 20, 32, Pattern::Noise));
    MemoryStream stream(Bytes(file.begin(), file.end() - 10));
    RasterImage back;
    const std::string problem = loadQvr(stream, back);
    EXPECT_NE(problem.find("alpha plane"), std::string::npos) << problem;
    EXPECT_EQ(stream.rowsMoved(ROW_KIND_RGB), 20);
}

TEST(Binding, CorruptRowIsNamed) {
    Bytes file = indexedFile(4, 3, {0xFD, 0x00, 1, 0xFD, 0x00, 2, 0xFD, 0x01, 3});
    RasterImage back;
    EXPECT_EQ(decodeBytes(file, back), "corrupt stream: row 2 of the index plane runs past the image width");
}

TEST(Binding, SeekOutsideTheDataFailsKeepsThePositionAndIsRecorded) {
    MemoryStream stream(Bytes{1, 2, 3, 4});
    StreamProcs procs = stream.procs();
    EXPECT_EQ(procs.seek(procs.userData, 4, SEEK_FROM_START), 4);  // the end itself is inside
    EXPECT_EQ(procs.seek(procs.userData, 2, SEEK_FROM_START), 2);
    EXPECT_EQ(stream.failure(), StreamFailure::None);
    EXPECT_EQ(procs.seek(procs.userData, 5, SEEK_FROM_START), -1);
    EXPECT_EQ(stream.failure(), StreamFailure::SeekOutside);
    EXPECT_EQ(stream.failedSeekTarget(), 5);
    EXPECT_EQ(procs.seek(procs.userData, -3, SEEK_FROM_CURRENT), -1);
    EXPECT_EQ(stream.failedSeekTarget(), 5);  // the first failure wins
    EXPECT_EQ(procs.seek(procs.userData, 0, SEEK_FROM_CURRENT), 2);
    uint8_t byte = 0;
    EXPECT_EQ(procs.read(procs.userData, &byte, 1), 0);  // nothing moves after the failure
}

// The memory path's line-coder streams keep the same seek rule as the bindings.
TEST(Binding, MemoryReaderAndWriterRecordTheFirstSeekOutside) {
    const Bytes data{1, 2, 3, 4};
    MemoryReader reader(data.data(), data.size());
    MemoryWriter writer(16);
    writer.write(data.data(), 4);
    const auto check = [](auto& binding, const char* what) {
        EXPECT_EQ(binding.seek(4, SEEK_FROM_START), 4) << what;
        EXPECT_EQ(binding.seek(2, SEEK_FROM_START), 2) << what;
        EXPECT_EQ(binding.failure(), StreamFailure::None) << what;
        EXPECT_EQ(binding.seek(5, SEEK_FROM_START), -1) << what;
        EXPECT_EQ(binding.seek(-3, SEEK_FROM_CURRENT), -1) << what;
        EXPECT_EQ(binding.failure(), StreamFailure::SeekOutside) << what;
        EXPECT_EQ(binding.failedSeekTarget(), 5) << what;  // the first failure wins
        EXPECT_EQ(binding.seek(0, SEEK_FROM_CURRENT), 2) << what;
    };
    check(reader, "reader");
    check(writer, "writer");
}

// A header whose offsets point outside the file is damage on every binding:
// the failed seek is named, nothing after it is delivered as the image.
TEST(Binding, OffsetsOutsideTheFileAreDamage) {
    const auto put32 = [](Bytes& file, size_t at, uint32_t value) { std::memcpy(&file[at], &value, 4); };
    struct Case {
        Bytes file;
        const char* named;
    };
    Bytes indexed = indexedFile(4, 2, {0xFD, 0x00, 1, 0xFD, 0x00, 2});
    Bytes dataPast = indexed;
    put32(dataPast, 32, 100000);
    Bytes palettePast = indexed;
    put32(palettePast, 36, 0x80000000u);  // beyond 2 GiB: negative as a seek offset
    Bytes alphaPast = encodeImage(makeImage(6, 3, 32, Pattern::Noise));
    put32(alphaPast, 36, static_cast<uint32_t>(alphaPast.size() + 1));
    for (const Case& c : {Case{dataPast, "data offset 100000"}, Case{palettePast, "palette offset 2147483648"},
                          Case{alphaPast, "alpha plane offset"}}) {
        RasterImage back;
        const std::string problem = decodeBytes(c.file, back);
        EXPECT_NE(problem.find(c.named), std::string::npos) << problem;
        EXPECT_NE(problem.find("outside the file"), std::string::npos) << problem;
        MemoryStream stream(c.file);
        const QvrInfo info = inspectQvr(stream);
        EXPECT_TRUE(info.valid);
        EXPECT_NE(info.offsetProblem.find(c.named), std::string::npos) << info.offsetProblem;
    }
    MemoryStream sound(indexed);
    EXPECT_EQ(inspectQvr(sound).offsetProblem, "");
}

TEST(Binding, AfterTheFirstFailureNothingMoves) {
    MemoryStream stream(Bytes{9});
    RasterImage image;
    image.allocate(2, 1, 8);
    stream.attachImage(&image);
    StreamProcs procs = stream.procs();
    uint8_t buffer[8] = {0};
    EXPECT_EQ(procs.read(procs.userData, buffer, 4), 1);  // a short read is no failure
    EXPECT_EQ(procs.read(procs.userData, buffer, 1), 0);
    EXPECT_EQ(stream.failure(), StreamFailure::EndOfData);
    procs.seek(procs.userData, 0, SEEK_FROM_START);
    EXPECT_EQ(procs.read(procs.userData, buffer, 1), 0);
    EXPECT_EQ(procs.write(procs.userData, buffer, 1), 0);
    EXPECT_EQ(procs.putRows(procs.userData, buffer, 8192, ROW_KIND_INDEX, 0, 0, 2, 1), 0);
    EXPECT_EQ(stream.failure(), StreamFailure::EndOfData);
}

TEST(Binding, WritesStopAtTheFirstFailureOnTheQuickPathToo) {
    MemoryStream stream;
    RasterImage image;
    image.allocate(4, 1, 8);
    stream.attachImage(&image);
    StreamProcs procs = stream.procs();
    const uint8_t bytes[2] = {1, 2};
    for (int i = 0; i < 100; ++i) EXPECT_EQ(procs.write(procs.userData, bytes, 1 + i % 2), 1 + i % 2);
    EXPECT_EQ(procs.seek(procs.userData, 0, SEEK_FROM_CURRENT), 150);
    uint8_t row[8192] = {0};
    EXPECT_EQ(procs.getRows(procs.userData, row, 8192, ROW_KIND_RGB, 0, 0, 4, 1), 0);  // wrong kind
    EXPECT_EQ(procs.write(procs.userData, bytes, 1), 0);
    EXPECT_EQ(procs.write(procs.userData, bytes, 2), 0);
    EXPECT_EQ(stream.bytes().size(), 150u);
    EXPECT_EQ(stream.bytes()[149], 2);
}

TEST(Binding, RowsThatDoNotFitAreRefused) {
    MemoryStream stream;
    RasterImage image;
    image.allocate(4, 2, 8);
    stream.attachImage(&image);
    StreamProcs procs = stream.procs();
    uint8_t buffer[16] = {0};
    EXPECT_EQ(procs.putRows(procs.userData, buffer, 8192, ROW_KIND_INDEX, 0, 2, 4, 1), 0);
    EXPECT_EQ(stream.failure(), StreamFailure::RowRefused);
}

TEST(Binding, WriteErrorOnAFullDisk) {
    FileStream out("/dev/full", FileStream::Mode::Write);
    if (!out.isOpen()) GTEST_SKIP() << "no /dev/full here";
    const RasterImage image = makeImage(300, 300, 24, Pattern::Noise);
    std::string problem = saveQvr(out, image);
    const bool closed = out.close();
    EXPECT_TRUE(!problem.empty() || !closed);
}

// A binding whose writes move at most `room` bytes in all, like a disk that fills up.
class FillingUp : public StreamBinding {
public:
    explicit FillingUp(int32_t room) : room_(room) {}
    Bytes written;

protected:
    int32_t readBytes(void*, int32_t) override { return -1; }
    int32_t writeBytes(const void* buffer, int32_t count) override {
        const int32_t n = count < room_ ? count : room_;
        if (n == 0) return -1;
        const auto* bytes = static_cast<const uint8_t*>(buffer);
        written.insert(written.end(), bytes, bytes + n);
        room_ -= n;
        return n;
    }
    int32_t seekTo(int64_t) override { return -1; }
    int64_t position() const override { return static_cast<int64_t>(written.size()); }
    int64_t dataSize() const override { return position(); }

private:
    int32_t room_;
};

TEST(Binding, AShortWriteIsAWriteError) {
    FillingUp stream(3);
    StreamProcs procs = stream.procs();
    const uint8_t bytes[2] = {1, 2};
    EXPECT_EQ(procs.write(procs.userData, bytes, 2), 2);
    EXPECT_EQ(stream.failure(), StreamFailure::None);
    EXPECT_EQ(procs.write(procs.userData, bytes, 2), 1);  // one byte of two: the other is lost
    EXPECT_EQ(stream.failure(), StreamFailure::WriteError);
    EXPECT_EQ(procs.write(procs.userData, bytes, 1), 0);
    EXPECT_EQ(stream.written, (Bytes{1, 2, 1}));
}

TEST(Binding, ReadAndWriteErrorsCarryTheSystemsReason) {
    FileStream folder(::testing::TempDir(), FileStream::Mode::Read);  // opens, but cannot be read
    if (!folder.isOpen()) GTEST_SKIP() << "folders cannot be opened as files here";
    RasterImage image;
    EXPECT_EQ(loadQvr(folder, image), "read error (Is a directory)");

    FileStream full("/dev/full", FileStream::Mode::Write);
    if (!full.isOpen()) GTEST_SKIP() << "no /dev/full here";
    const std::string problem = saveQvr(full, makeImage(300, 300, 24, Pattern::Noise));
    EXPECT_EQ(problem, "write error (No space left on device)");
}

TEST(SaveQvr, RefusesPlanesThatDoNotMatchTheSize) {
    for (int32_t depth : {8, 24, 32}) {
        RasterImage image;
        image.allocate(40, 30, depth);
        if (depth == 8) image.indices.resize(40 * 29);
        if (depth == 24) image.rgb.resize(10);
        if (depth == 32) image.alpha.clear();
        MemoryStream stream;
        EXPECT_NE(saveQvr(stream, image).find("planes are smaller"), std::string::npos) << depth;
        EXPECT_TRUE(stream.bytes().empty());
    }
    RasterImage wrongDepth;
    wrongDepth.allocate(4, 4, 24);
    wrongDepth.depth = 16;
    MemoryStream stream;
    EXPECT_NE(saveQvr(stream, wrongDepth), "");
}

TEST(SaveQvr, RefusesSizesTheReaderCannotRead) {
    for (auto [w, h] : {std::pair{1, 5}, std::pair{8192, 1}, std::pair{5, 0}, std::pair{5, 8192}}) {
        RasterImage image;
        image.allocate(w, h, 24);
        MemoryStream stream;
        EXPECT_NE(saveQvr(stream, image), "") << w << "x" << h;
        EXPECT_TRUE(stream.bytes().empty());
    }
}

// ---- the memory path: loadQvrMemory and saveQvrMemory ----

// The memory path against the general path over a MemoryStream: the same
// message and the same pixels, a header offset outside the data included.
void expectSameDecoding(const Bytes& file, const std::string& what) {
    RasterImage general, fast;
    const std::string generalProblem = decodeBytes(file, general);
    const std::string fastProblem = loadQvrMemory(file.data(), file.size(), fast);
    EXPECT_EQ(fastProblem, generalProblem) << what;
    expectSameImage(fast, general, what);
}

TEST(MemoryPath, SameBytesAndPixelsAsTheGeneralPath) {
    forEachVariedImage({{2, 1}, {5, 3}, {17, 9}, {300, 7}, {8191, 2}},
                       [](const RasterImage& image, const std::string& what) {
                           Bytes fast;
                           ASSERT_EQ(saveQvrMemory(image, fast), "") << what;
                           ASSERT_EQ(fast, encodeImage(image)) << what;
                           RasterImage back;
                           ASSERT_EQ(loadQvrMemory(fast.data(), fast.size(), back), "") << what;
                           expectSameImage(back, keptByQvr(image), what);
                       });
}

// The memory writer reports each row of each plane, as the general path does.
TEST(MemoryPath, SavingReportsEveryRowOfEveryPlane) {
    std::vector<std::pair<int32_t, int32_t>> reports;
    const auto record = [](void* context, int32_t done, int32_t total) {
        static_cast<std::vector<std::pair<int32_t, int32_t>>*>(context)->emplace_back(done, total);
    };
    Bytes file;
    ASSERT_EQ(saveQvrMemory(makeImage(9, 3, 32, Pattern::Mixed), file, record, &reports), "");
    const std::vector<std::pair<int32_t, int32_t>> rows = {{1, 3}, {2, 3}, {3, 3}};
    std::vector<std::pair<int32_t, int32_t>> twice = rows;
    twice.insert(twice.end(), rows.begin(), rows.end());
    EXPECT_EQ(reports, twice);  // the colour plane, then the alpha plane
}

// Cut short anywhere or with any one byte changed, a file reads the same
// through both paths: the first failure, its row, and every pixel before it.
TEST(MemoryPath, DamagedFilesReadAsThroughTheGeneralPath) {
    for (int32_t depth : {8, 24, 32}) {
        const Bytes file = encodeImage(makeImage(37, 6, depth, Pattern::Mixed));
        for (size_t length = 0; length < file.size(); length += 1 + length / 40)
            expectSameDecoding(Bytes(file.begin(), file.begin() + static_cast<long>(length)),
                               "depth " + std::to_string(depth) + " cut at " + std::to_string(length));
        std::mt19937 rng(static_cast<unsigned>(depth));
        for (int trial = 0; trial < 300; ++trial) {
            Bytes damaged = file;
            const size_t at = rng() % file.size();
            damaged[at] = static_cast<uint8_t>(rng());
            expectSameDecoding(damaged, "depth " + std::to_string(depth) + " byte " + std::to_string(at));
        }
    }
}

// The widest rows, each in the last slot of the ring: a row that ends with
// the longest command of each kind at the last position overruns there, and
// reads as through the general path (the sanitizer build checks that nothing
// is written outside the ring).
TEST(MemoryPath, LongestCommandsAtTheLastPositionOfTheWidestRow) {
    constexpr int32_t WIDTH = 8191;
    // Fills covering `count` samples (here the last fill is never shorter
    // than the shortest fill: 8190 and 8191 leave 161 to 193).
    const auto fills = [](int32_t count, int32_t longest, Bytes sample, Bytes& out) {
        while (count > 0) {
            const int32_t n = count < longest ? count : longest;
            out.insert(out.end(), {static_cast<uint8_t>(CMD_FILL), static_cast<uint8_t>(n - (longest - 255))});
            out.insert(out.end(), sample.begin(), sample.end());
            count -= n;
        }
    };
    // Three rows of fills, then a fourth that the last command overruns at
    // its last position; samples of one byte (8-bit) or two (16-bit).
    const auto streamEndingWith = [&](const Bytes& last, bool wide) {
        const int32_t longest = 255 + (wide ? FILL_BIAS_16 : FILL_BIAS_8);
        Bytes stream;
        for (int32_t r = 0; r < 3; ++r)
            fills(WIDTH, longest,
                  wide ? Bytes{static_cast<uint8_t>(40 + r), 0x12} : Bytes{static_cast<uint8_t>(40 + r)}, stream);
        fills(WIDTH - 1, longest, wide ? Bytes{0x33, 0x44} : Bytes{0x33}, stream);
        stream.insert(stream.end(), last.begin(), last.end());
        return stream;
    };
    const auto expectOverrunInRow3 = [](const Bytes& file, const std::string& plane, const std::string& what) {
        RasterImage image;
        EXPECT_EQ(loadQvrMemory(file.data(), file.size(), image),
                  "corrupt stream: row 3 of the " + plane + " runs past the image width");
        expectSameDecoding(file, what);
    };
    const Bytes lastCommands8[] = {
        {CMD_FILL, 0xFF, 0x11}, {CMD_PAIR, 0xFF, 1, 2}, {CMD_COPY_UP, 0xFF}, {CMD_COPY_UP2, 0xFF}};
    for (const Bytes& last : lastCommands8)
        expectOverrunInRow3(indexedFile(WIDTH, 4, streamEndingWith(last, false)), "index plane",
                            "8-bit, last command " + std::to_string(last[0]));
    Bytes packed = {CMD_PACKED, 0xFF, 0x55};
    packed.resize(packed.size() + 256, 0x0F);
    const Bytes lastCommands16[] = {
        {CMD_FILL, 0xFF, 0x11, 0x22}, {CMD_PAIR, 0xFF, 1, 2, 3, 4}, {CMD_COPY_UP, 0xFF}, {CMD_COPY_UP2, 0xFF}, packed};
    for (const Bytes& last : lastCommands16)
        expectOverrunInRow3(colourFile(WIDTH, 4, streamEndingWith(last, true)), "colour plane",
                            "16-bit, last command " + std::to_string(last[0]));
}

// Packed runs are unpacked a few pixels at a time, past their end; the
// samples past a row's end must still read 0 for a reference to the right.
TEST(MemoryPath, ReferencesPastTheRowEndStillReadZero) {
    // Row 0: one packed run of all five pixels; row 1: four literals, then
    // the pixel above and to the right of the last one.
    const Bytes stream = {CMD_PACKED, 4,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,        0x11,
                          0x22,       0x33, 0x44, 0x55, 0x66, 0x77, 0x12, CMD_UP_RIGHT};
    const Bytes file = colourFile(5, 2, stream);
    expectSameDecoding(file, "up-right at the row end");
    RasterImage image;
    ASSERT_EQ(loadQvrMemory(file.data(), file.size(), image), "");
    EXPECT_EQ(Bytes(image.rgb.end() - 3, image.rgb.end()), (Bytes{0, 0, 0}));
    EXPECT_EQ(Bytes(image.rgb.begin(), image.rgb.begin() + 3), (Bytes{255, 255, 255}));
}

// The memory path copies an 8-bit plane's literals eight at a time up to the
// first command byte: a command (or an escaped literal) at every offset of
// such a group, and at the end of the data, reads as through the general path.
TEST(MemoryPath, LiteralGroupsStopAtEveryCommand) {
    constexpr int32_t WIDTH = 40;
    for (int32_t k = 0; k + 4 <= WIDTH; ++k) {
        RasterImage image;
        image.allocate(WIDTH, 3, 32);
        for (int32_t r = 0; r < 3; ++r)
            for (int32_t i = 0; i < WIDTH; ++i)
                image.alpha[static_cast<size_t>(r * WIDTH + i)] =
                    static_cast<uint8_t>(i % 13 == 6 ? 0xF9 : (r * 101 + i * 7) % 240);
        std::fill_n(image.alpha.begin() + 2 * WIDTH + k, 4, uint8_t{200});  // a fill at k
        const Bytes file = encodeImage(image);
        const std::string what = "fill at " + std::to_string(k);
        expectSameDecoding(file, what);
        RasterImage back;
        ASSERT_EQ(loadQvrMemory(file.data(), file.size(), back), "") << what;
        EXPECT_EQ(back.alpha, keptByQvr(image).alpha) << what;
        expectSameDecoding(Bytes(file.begin(), file.end() - 1 - k % 5), what + ", cut short");
    }
}

// Literals and packed runs are decoded without a branch between them on the
// memory path: runs of every length beside literals (one with a low byte of
// 0xF7, the largest literal), whole and cut short anywhere, read as through
// the general path.
TEST(MemoryPath, LiteralsBesidePackedRunsOfEveryLength) {
    Bytes stream;
    int32_t width = 0;
    for (int32_t n = 2; n <= 11; ++n) {
        stream.insert(stream.end(), {0xF7, static_cast<uint8_t>(n), CMD_PACKED, static_cast<uint8_t>(n - 1),
                                     static_cast<uint8_t>(0x20 + n)});
        for (int32_t k = 0; k < n; ++k) stream.push_back(static_cast<uint8_t>(n * 16 + k));
        width += 1 + n;
    }
    stream.insert(stream.end(), {0x12, 0x34});  // a literal last
    ++width;
    const Bytes file = colourFile(static_cast<uint32_t>(width), 1, stream);
    for (size_t cut = 0; cut <= stream.size(); ++cut)
        expectSameDecoding(Bytes(file.begin(), file.end() - static_cast<long>(cut)), "cut " + std::to_string(cut));
    RasterImage image;
    ASSERT_EQ(loadQvrMemory(file.data(), file.size(), image), "");
    EXPECT_EQ(Bytes(image.rgb.begin(), image.rgb.begin() + 3), (Bytes{0, 93, 189}));  // 5-6-5 0x02F7
}

TEST(MemoryPath, AnOffsetOutsideTheDataEndsTheRows) {
    Bytes file = encodeImage(makeImage(20, 4, 32, Pattern::Gradient));
    FileHeader header;
    std::memcpy(&header, file.data(), sizeof header);
    header.auxOffset = static_cast<uint32_t>(file.size() + 1);
    std::memcpy(file.data(), &header, sizeof header);
    const std::string expected =
        "damaged file: the alpha plane offset " + std::to_string(file.size() + 1) + " lies outside the file";
    RasterImage image;
    EXPECT_EQ(loadQvrMemory(file.data(), file.size(), image), expected);
    EXPECT_EQ(image.alpha, Bytes(80, 0));  // no row after the failure
    RasterImage general;
    EXPECT_EQ(decodeBytes(file, general), expected);  // both paths give one verdict
    EXPECT_EQ(image.rgb, general.rgb);                // the colour plane came before it
    EXPECT_EQ(image.alpha, general.alpha);
}

TEST(MemoryPath, EmptyAndForeignInput) {
    RasterImage image;
    EXPECT_EQ(loadQvrMemory(nullptr, 0, image), "not a QVR file (its header fails the format's tests)");
    const Bytes png = {0x89, 'P', 'N', 'G', 13, 10, 26, 10};
    EXPECT_EQ(loadQvrMemory(png.data(), png.size(), image), "not a QVR file (its header fails the format's tests)");
    RasterImage tooWide;
    tooWide.allocate(8192, 1, 24);
    Bytes out = {1, 2, 3};
    EXPECT_NE(saveQvrMemory(tooWide, out), "");
}

// The whole-word run measure against a pixel-by-pixel count, at every cap and
// with runs that end inside a word.
TEST(MemoryPath, PackedRunsMeasureAsPixelByPixel) {
    std::mt19937 rng(7);
    std::vector<uint16_t> pixels(300);
    for (int trial = 0; trial < 2000; ++trial) {
        const uint16_t base = static_cast<uint16_t>(rng());
        for (auto& p : pixels) {
            const uint32_t pick = rng() % 8;
            p = pick == 0  ? static_cast<uint16_t>(rng())
                : pick < 3 ? p
                           : static_cast<uint16_t>(base ^ (rng() & 0x19E3));
        }
        const int32_t cap = static_cast<int32_t>(rng() % 260);
        int32_t want = cap <= 1 ? 1 : cap;
        for (int32_t i = 1, streak = 1; i < cap && want == cap; ++i) {
            if ((pixels[static_cast<size_t>(i)] & PACKED_SHARED_MASK) != (pixels[0] & PACKED_SHARED_MASK))
                want = i;
            else if (pixels[static_cast<size_t>(i)] == pixels[static_cast<size_t>(i) - 1] && ++streak == 3)
                want = i - 2;
            else if (pixels[static_cast<size_t>(i)] != pixels[static_cast<size_t>(i) - 1])
                streak = 1;
        }
        ASSERT_EQ(packedRunLength(pixels.data(), cap), want) << "trial " << trial << " cap " << cap;
    }
}

// The table-driven widening and packed pixel bytes agree with their
// definitions for every 16-bit pixel.
TEST(PixelTables, SplitTablesGiveEveryPixel) {
    EXPECT_TRUE(splitsExactly(WIDENING, widenedRgb));
    EXPECT_TRUE(splitsExactly(PACKED_BYTE, packedByteFrom));
    for (uint32_t pixel : {0x0000u, 0xFFFFu, 0xF800u, 0x07E0u, 0x001Fu, 0x8410u}) {
        uint8_t rgb[3];
        const uint16_t p = static_cast<uint16_t>(pixel);
        rgbFrom565(rgb, &p, 1);
        EXPECT_EQ(rgb[0] | rgb[1] << 8 | rgb[2] << 16, static_cast<int>(widenedRgb(pixel))) << pixel;
    }
}

// The vector row conversions give the portable loops' bytes: every pixel
// widened, random bytes narrowed, at every length around the step of eight.
TEST(PixelTables, VectorRowsMatchThePortableLoops) {
    std::vector<uint16_t> pixels(65536);
    for (size_t p = 0; p < pixels.size(); ++p) pixels[p] = static_cast<uint16_t>(p * 40503u);
    Bytes rgbaFast(4 * pixels.size()), rgbaPortable(4 * pixels.size());
    widenRgbaRow(rgbaFast.data(), pixels.data(), 65536);
    widenOpaqueRow(rgbaPortable.data(), pixels.data(), 65536);
    EXPECT_EQ(rgbaFast, rgbaPortable);
    for (int32_t count = 0; count <= 40; ++count) {  // the tails, and nothing past the row
        Bytes fast(4 * 41, 0x5A), portable(4 * 41, 0x5A);
        widenRgbaRow(fast.data(), pixels.data() + 1000, count);
        widenOpaqueRow(portable.data(), pixels.data() + 1000, count);
        EXPECT_EQ(fast, portable) << count;
    }

    // RGBA back to pixels, and alpha samples into and out of RGBA, at every
    // length around the vector steps (up to a wide step and a narrow one
    // after it); nothing outside the row is touched.
    constexpr int32_t LONGEST = 56;
    std::mt19937 bytes(11);
    Bytes rgba(4 * LONGEST + 8);
    for (uint8_t& b : rgba) b = static_cast<uint8_t>(bytes());
    for (int32_t count = 0; count <= LONGEST; ++count) {
        std::vector<uint16_t> fromRgba(LONGEST + 1, 0xABCD), expected(LONGEST + 1, 0xABCD);
        pixelsFromRgba(fromRgba.data(), rgba.data(), count);
        narrowRgbaRow(expected.data(), rgba.data(), count);
        EXPECT_EQ(fromRgba, expected) << count;
        Bytes samples(LONGEST + 1, 0x5A), expectedSamples(LONGEST + 1, 0x5A);
        alphaFromRgba(samples.data(), rgba.data() + 3, count);
        for (int32_t k = 0; k < count; ++k)
            expectedSamples[static_cast<size_t>(k)] = rgba[4 * static_cast<size_t>(k) + 3];
        EXPECT_EQ(samples, expectedSamples) << count;
        Bytes merged = rgba, expectedMerged = rgba;
        alphaIntoRgba(merged.data() + 3, samples.data() + 1, count);
        for (int32_t k = 0; k < count; ++k)
            expectedMerged[4 * static_cast<size_t>(k) + 3] = samples[static_cast<size_t>(k) + 1];
        EXPECT_EQ(merged, expectedMerged) << count;
    }

    Bytes shuffled(3 * pixels.size()), portable(3 * pixels.size());
    if (!widenRgbRowShuffled(shuffled.data(), pixels.data(), 65536))
        GTEST_SKIP() << "no SSSE3 shuffles in this processor or build";
    rgbFrom565(portable.data(), pixels.data(), 65536);
    EXPECT_EQ(shuffled, portable);

    std::mt19937 rng(7);
    Bytes rgb(3 * 40);
    for (uint8_t& b : rgb) b = static_cast<uint8_t>(rng());
    for (int32_t count = 0; count <= 40; ++count) {
        std::vector<uint16_t> fast(41, 0xABCD), slow(41, 0xABCD);
        ASSERT_TRUE(narrowRgbRowShuffled(fast.data(), rgb.data(), count));
        rgbTo565(slow.data(), rgb.data(), count);
        EXPECT_EQ(fast, slow) << count;  // nothing written past the row either
        Bytes wide(3 * 41, 0x5A), narrow(3 * 41, 0x5A);
        widenRgbRowShuffled(wide.data(), slow.data(), count);
        rgbFrom565(narrow.data(), slow.data(), count);
        EXPECT_EQ(wide, narrow) << count;
    }
}

}  // namespace
}  // namespace qvr::test
