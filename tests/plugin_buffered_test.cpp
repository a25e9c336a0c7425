// The 64-bit module's file block against the 32-bit module's one system call
// per request: both variants of the module run side by side over the same
// portable services, which count the calls and play a damaged or full disk.
// Whatever the file, the host must see the same result codes and the same
// rows from both; the block variant must need only a few calls per block.
#include <algorithm>
#include <array>

#include "plugin_test_support.h"
#include "streams/image_io.h"
#include "test_support.h"
#include "tests/host/document_convert.h"

extern "C" void bufferedEntryPoint(int16_t selector, void* paramBlock, intptr_t* data, int16_t* result);

namespace qvr::test {
namespace {

using qvrhost::TestHost;

constexpr long BLOCK_BYTES = 0x10000;  // the module's file block
const char* const SAMPLES[] = {"sunset-indexed.qvr", "tiles-rgb.qvr", "badge-rgba.qvr"};

PluginEntryProc directEntry() { return moduleEntry(); }
PluginEntryProc bufferedEntry() { return bufferedEntryPoint; }

// Clears the portable layer's faults and call counts on the way in and out.
struct FileConditions {
    FileConditions() { clear(); }
    ~FileConditions() { clear(); }
    static void clear() {
        portable::fileFaults = {};
        portable::fileCalls = {};
    }
};

// An open as the host saw it: every selector's result, every row it was
// handed (top, planes, first and last plane), the progress it was told and
// the pixels of its document.
struct OpenOutcome {
    std::vector<std::pair<int16_t, int16_t>> results;
    std::vector<std::array<int32_t, 4>> rows;
    std::vector<std::pair<int32_t, int32_t>> progress;
    Bytes pixels;
    long reads = 0;
};

// Opens `file` from memory, so that opening thousands of files costs no system
// calls; the host refuses rows from the `failAtTransfer`-th on (-1: never).
OpenOutcome openWith(PluginEntryProc entry, const Bytes& file, int failAtTransfer = -1) {
    const HFILE handle = portable::openMemoryFile(file.data(), file.size());
    portable::fileCalls = {};
    TestHost host(entry);
    host.failAtTransfer = failAtTransfer;
    host.openHandle(handle);
    portable::closeMemoryFile(handle);
    OpenOutcome outcome;
    for (const qvrhost::SelectorResult& r : host.results) outcome.results.emplace_back(r.selector, r.result);
    for (const qvrhost::Transfer& t : host.transfers)
        outcome.rows.push_back({t.rect.top, t.planes, t.loPlane, t.hiPlane});
    outcome.progress = host.progress;
    outcome.pixels = host.document().pixels;
    outcome.reads = portable::fileCalls.reads;
    return outcome;
}

// Opens `file` through both variants and expects the same outcome; returns the block variant's.
OpenOutcome expectSameOpen(const Bytes& file, const std::string& what, int failAtTransfer = -1) {
    const OpenOutcome direct = openWith(directEntry(), file, failAtTransfer);
    const OpenOutcome buffered = openWith(bufferedEntry(), file, failAtTransfer);
    EXPECT_EQ(buffered.results, direct.results) << what;
    EXPECT_EQ(buffered.rows, direct.rows) << what;
    EXPECT_EQ(buffered.progress, direct.progress) << what;
    EXPECT_TRUE(buffered.pixels == direct.pixels) << what;
    return buffered;
}

// A photograph-like image: smooth gradients under noise, so its file runs over several blocks.
RasterImage noisyImage(int32_t width, int32_t height, int32_t depth) {
    RasterImage image = sampleImage(width, height, depth);
    uint32_t state = 12345;
    auto noise = [&state] { return (state = state * 1103515245u + 12345u) >> 27; };
    for (uint8_t& v : image.rgb) v = static_cast<uint8_t>(v + noise());
    for (uint8_t& v : image.alpha) v = static_cast<uint8_t>(v + noise());
    for (uint8_t& v : image.indices) v = static_cast<uint8_t>(v + noise());
    return image;
}

const Bytes& largeFile() {
    static const Bytes file = encodeImage(noisyImage(300, 200, 32));
    return file;
}

// What a save through `entry` of `image` onto the file `path` came to.
struct SaveOutcome {
    int16_t result;
    Bytes file;
    long writes;
};

SaveOutcome saveWith(PluginEntryProc entry, const RasterImage& image, const std::string& path,
                     int failAtTransfer = -1) {
    TestHost host(entry);
    host.document() = qvrhost::documentFromRaster(image);
    host.failAtTransfer = failAtTransfer;
    portable::fileCalls = {};
    const int16_t result = host.save(path);
    return {result, readFile(path), portable::fileCalls.writes};
}

class EverySample : public ::testing::TestWithParam<const char*> {
protected:
    FileConditions conditions_;
    Bytes file_ = readFile(samplePath(GetParam()));
};

TEST_P(EverySample, OpensAndSavesAsOneCallPerRequestDoes) {
    const OpenOutcome opened = expectSameOpen(file_, GetParam());
    for (const auto& [selector, result] : opened.results) EXPECT_EQ(result, noErr) << selector;
    EXPECT_LE(opened.reads, 6);  // each file fits one block; each seek starts a new one

    TestHost host(directEntry());
    ASSERT_EQ(host.open(samplePath(GetParam())), noErr);
    const RasterImage image = qvrhost::rasterFromDocument(host.document());
    const SaveOutcome direct = saveWith(directEntry(), image, tempPath("direct.qvr"));
    const SaveOutcome buffered = saveWith(bufferedEntry(), image, tempPath("buffered.qvr"));
    EXPECT_EQ(direct.result, noErr);
    EXPECT_EQ(buffered.result, noErr);
    EXPECT_EQ(buffered.file, encodeImage(image));
    EXPECT_EQ(buffered.file, direct.file);
    EXPECT_LE(buffered.writes, 3);  // with alpha: the colour stream, the header again, the alpha stream
    EXPECT_GT(direct.writes, static_cast<long>(direct.file.size()) / 3);
}

TEST_P(EverySample, EveryPrefixEndsAlikeAtTheSameRow) {
    for (size_t length = 0; length < file_.size(); ++length) {
        expectSameOpen(Bytes(file_.begin(), file_.begin() + static_cast<long>(length)),
                       std::string(GetParam()) + " cut to " + std::to_string(length));
        if (HasFailure()) return;
    }
}

TEST_P(EverySample, SingleByteCorruptionsEndAlike) {
    for (size_t at = 0; at < file_.size(); ++at) {
        for (const uint8_t flip : {uint8_t{0xFF}, uint8_t{0x04}}) {
            Bytes damaged = file_;
            damaged[at] ^= flip;
            expectSameOpen(damaged, std::string(GetParam()) + " damaged at " + std::to_string(at));
            if (HasFailure()) return;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Samples, EverySample, ::testing::ValuesIn(SAMPLES),
                         [](const auto& sample) { return std::to_string(sample.index); });

TEST(BufferedFile, ReadsAWholeBlockPerCall) {
    FileConditions conditions;
    const Bytes& file = largeFile();
    ASSERT_GT(file.size(), 2u * BLOCK_BYTES);
    const OpenOutcome opened = expectSameOpen(file, "large file");
    EXPECT_EQ(opened.results.back().second, noErr);
    // Per open: a block after each seek (the header in both calls, then each
    // plane's stream), one per further block, and at most one empty read at the end.
    const long blocks = static_cast<long>((file.size() + BLOCK_BYTES - 1) / BLOCK_BYTES);
    EXPECT_LE(opened.reads, blocks + 6);
    EXPECT_GT(openWith(directEntry(), file).reads, static_cast<long>(file.size()) / 2);
}

TEST(BufferedFile, AReadFailingMidFileStopsAtTheSameRow) {
    FileConditions conditions;
    const Bytes& file = largeFile();
    const long long size = static_cast<long long>(file.size());
    std::vector<long long> badBytes = {0, 1, 47, 48, 49, size / 2, size - 1, size};
    for (long long block = BLOCK_BYTES; block < size; block += BLOCK_BYTES)
        badBytes.insert(badBytes.end(), {block - 1, block, block + 1});
    for (const bool deliverBefore : {false, true}) {
        for (const long long badByte : badBytes) {
            portable::fileFaults.badByte = badByte;
            portable::fileFaults.deliverBeforeBadByte = deliverBefore;
            const std::string what =
                "bad byte " + std::to_string(badByte) + (deliverBefore ? ", bytes before it delivered" : "");
            const OpenOutcome opened = expectSameOpen(file, what);
            // A header cut short by the bad byte can still pass its tests.
            if (deliverBefore && badByte > 0 && badByte < 48) continue;
            const int16_t expected = badByte < 48 ? formatCannotRead : badByte < size ? readErr : noErr;
            EXPECT_EQ(opened.results.back().second, expected) << what;
        }
    }
}

TEST(BufferedFile, SavesTheSameBytesABlockAtATime) {
    FileConditions conditions;
    const RasterImage image = noisyImage(300, 200, 32);
    const SaveOutcome direct = saveWith(directEntry(), image, tempPath("large-direct.qvr"));
    const SaveOutcome buffered = saveWith(bufferedEntry(), image, tempPath("large-buffered.qvr"));
    ASSERT_EQ(buffered.result, noErr);
    EXPECT_EQ(buffered.file, direct.file);
    EXPECT_EQ(buffered.file, largeFile());
    // Full blocks, the rest of the colour stream before the header is
    // rewritten, the header itself, and what is left at the end.
    const long blocks = static_cast<long>((buffered.file.size() + BLOCK_BYTES - 1) / BLOCK_BYTES);
    EXPECT_LE(buffered.writes, blocks + 2);
}

TEST(BufferedFile, AFullDiskTakesNoBlockAfterTheOneThatDidNotFit) {
    FileConditions conditions;
    const RasterImage image = noisyImage(300, 200, 32);
    const Bytes& whole = largeFile();
    const long long size = static_cast<long long>(whole.size());
    for (const long long diskEnd : {0LL, 1LL, 47LL, 48LL, 1000LL, BLOCK_BYTES - 1LL, BLOCK_BYTES + 0LL,
                                    BLOCK_BYTES + 1LL, 2LL * BLOCK_BYTES + 7, size - 1, size}) {
        portable::fileFaults.diskEnd = diskEnd;
        const std::string what = "disk ends at " + std::to_string(diskEnd);
        const SaveOutcome direct = saveWith(directEntry(), image, tempPath("full-direct.qvr"));
        const SaveOutcome buffered = saveWith(bufferedEntry(), image, tempPath("full-buffered.qvr"));
        const int16_t expected = diskEnd < size ? dskFulErr : noErr;
        EXPECT_EQ(direct.result, expected) << what;
        EXPECT_EQ(buffered.result, expected) << what;
        // Everything up to the end of the disk (a header without the alpha
        // plane's offset when the disk ended in the colour stream), and nothing
        // after the block that met it.
        EXPECT_EQ(buffered.file.size(), static_cast<size_t>(std::min(diskEnd, size))) << what;
        EXPECT_TRUE(std::equal(buffered.file.begin() + std::min<long>(48, static_cast<long>(buffered.file.size())),
                               buffered.file.end(), whole.begin() + 48))
            << what;
        EXPECT_EQ(buffered.file, direct.file) << what;
        EXPECT_LE(buffered.writes, diskEnd / BLOCK_BYTES + 2) << what;
    }
}

TEST(BufferedFile, AWriteErrorEndsTheSaveAtItsBlock) {
    FileConditions conditions;
    const RasterImage image = noisyImage(300, 200, 32);
    for (const long long badWriteByte : {0LL, 47LL, 5000LL, BLOCK_BYTES + 3LL}) {
        portable::fileFaults.badWriteByte = badWriteByte;
        const std::string what = "write error at " + std::to_string(badWriteByte);
        const SaveOutcome direct = saveWith(directEntry(), image, tempPath("bad-direct.qvr"));
        const SaveOutcome buffered = saveWith(bufferedEntry(), image, tempPath("bad-buffered.qvr"));
        EXPECT_EQ(direct.result, writErr) << what;
        EXPECT_EQ(buffered.result, writErr) << what;
        // The block that met the error is lost whole; the ones before it are on the file.
        EXPECT_EQ(buffered.file.size(), static_cast<size_t>(badWriteByte / BLOCK_BYTES * BLOCK_BYTES)) << what;
        EXPECT_EQ(buffered.writes, badWriteByte / BLOCK_BYTES + 1) << what;
    }
}

// A row the host refuses ends an open or a save alike, wherever it falls:
// the first rows, inside and across blocks, the first and last alpha rows;
// after it no byte of the file counts, not even a damaged one.
TEST(BufferedFile, ARefusedRowEndsAlike) {
    FileConditions conditions;
    const RasterImage image = noisyImage(300, 200, 32);
    for (size_t at = largeFile().size() / 4; at < largeFile().size(); at += largeFile().size() / 40) {
        Bytes damaged = largeFile();
        damaged[at] ^= 0xFF;
        expectSameOpen(damaged, "rows refused from the second, damaged at " + std::to_string(at), 1);
    }
    for (const int failAt : {0, 1, 57, 199, 200, 201, 399}) {
        const std::string what = "rows refused from transfer " + std::to_string(failAt);
        EXPECT_EQ(expectSameOpen(largeFile(), what, failAt).results.back().second, -1) << what;
        const SaveOutcome direct = saveWith(directEntry(), image, tempPath("refused-direct.qvr"), failAt);
        const SaveOutcome buffered = saveWith(bufferedEntry(), image, tempPath("refused-buffered.qvr"), failAt);
        EXPECT_EQ(buffered.result, -1) << what;
        EXPECT_EQ(buffered.result, direct.result) << what;
        // Bytes still in the block when the row was refused never reach the
        // file; the data bytes that did are the ones written a call at a time.
        ASSERT_LE(buffered.file.size(), direct.file.size()) << what;
        const auto headerEnd = std::min<long>(48, static_cast<long>(buffered.file.size()));
        EXPECT_TRUE(std::equal(buffered.file.begin() + headerEnd, buffered.file.end(), direct.file.begin() + headerEnd))
            << what;
    }
}

// The globals handle goes into the slot whole and is read back whole: on a
// 64-bit host its high half matters, and the bytes around the slot stay untouched.
TEST(DataSlot, HoldsTheWholeHandle) {
    static Handle made = nullptr;
    static NewPIHandleProc hostNew = nullptr;
    for (PluginEntryProc entry : {directEntry(), bufferedEntry()}) {
        TestHost host(entry);
        hostNew = host.handleSuite.newProc;
        host.handleSuite.newProc = [](int32_t size) { return made = hostNew(size); };
        struct {
            intptr_t before = -0x5A5A5A5A;
            intptr_t slot = 0;
            intptr_t after = -0x5A5A5A5A;
        } guarded;
        host.record().handleProcs = &host.handleSuite;
        int16_t result = 1;
        entry(formatSelectorReadPrepare, &host.record(), &guarded.slot, &result);
        ASSERT_EQ(result, noErr);
        ASSERT_NE(made, nullptr);
        EXPECT_EQ(guarded.slot, reinterpret_cast<intptr_t>(made));
        if (sizeof(intptr_t) == 8) {
            EXPECT_NE(static_cast<uint64_t>(guarded.slot) >> 32, 0u);
        }
        EXPECT_EQ(guarded.before, -0x5A5A5A5A);
        EXPECT_EQ(guarded.after, -0x5A5A5A5A);
        // The next call finds the same globals through the whole value.
        made = nullptr;
        const intptr_t kept = guarded.slot;
        entry(formatSelectorEstimatePrepare, &host.record(), &guarded.slot, &result);
        EXPECT_EQ(result, noErr);
        EXPECT_EQ(made, nullptr);
        EXPECT_EQ(guarded.slot, kept);
        host.handleSuite.disposeProc(reinterpret_cast<Handle>(kept));
    }
}

}  // namespace
}  // namespace qvr::test
