// The module through its entry point, driven by the test host as the editor
// drives it: open, save, estimate, filter, the globals and the dispatch.
#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "codec/format.h"
#include "plugin/globals.h"
#include "plugin_test_support.h"
#include "streams/image_io.h"
#include "test_support.h"
#include "tests/host/document_convert.h"

namespace qvr::test {
namespace {

using qvrhost::TestHost;

RasterImage converterDecode(const std::string& path) {
    FileStream stream(path, FileStream::Mode::Read);
    RasterImage image;
    EXPECT_EQ(loadQvr(stream, image), "") << path;
    return image;
}

TEST(OpenAndSave, EveryKindMatchesTheConverter) {
    for (const char* name : {"sunset-indexed.qvr", "tiles-rgb.qvr", "badge-rgba.qvr"}) {
        TestHost host(moduleEntry());
        ASSERT_EQ(host.open(samplePath(name)), noErr) << name;
        const RasterImage opened = qvrhost::rasterFromDocument(host.document());
        const RasterImage decoded = converterDecode(samplePath(name));
        expectSameImage(opened, decoded, name);
        for (const auto& r : host.results) EXPECT_EQ(r.result, noErr) << qvrhost::selectorName(r.selector);

        const std::string saved = tempPath(std::string("saved-") + name);
        ASSERT_EQ(host.save(saved), noErr) << name;
        EXPECT_EQ(readFile(saved), encodeImage(opened)) << name;
    }
}

// Hosts may call a plug-in on a thread with little stack. A save of each
// depth runs on a thread whose stack was painted first; the bytes no longer
// painted are what it used. The colour plane's ring is the deepest frame, and
// the alpha plane's (32 KiB) must never lie beneath it: RGBA takes what RGB
// takes.
TEST(OpenAndSave, SavingFitsInASmallStack) {
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QVR_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(QVR_ADDRESS_SANITIZER)
    GTEST_SKIP() << "the sanitizers' frames are not the module's";
#else
    constexpr size_t STACK_BYTES = 1 << 20, PAINT = 0xA5, SLACK = 8 << 10;
    size_t used[2] = {};
    for (int32_t depth : {24, 32}) {
        struct Job {
            int32_t depth;
            int16_t result;
        } job{depth, -1};
        void* stack = std::aligned_alloc(4096, STACK_BYTES);
        ASSERT_NE(stack, nullptr);
        std::memset(stack, PAINT, STACK_BYTES);
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setstack(&attributes, stack, STACK_BYTES);
        pthread_t thread;
        ASSERT_EQ(pthread_create(
                      &thread, &attributes,
                      [](void* p) -> void* {
                          auto* mine = static_cast<Job*>(p);
                          TestHost host(moduleEntry());
                          host.document() = qvrhost::documentFromRaster(sampleImage(300, 40, mine->depth));
                          mine->result = host.save(tempPath("small-stack.qvr"));
                          return nullptr;
                      },
                      &job),
                  0);
        pthread_join(thread, nullptr);
        pthread_attr_destroy(&attributes);
        const auto* bytes = static_cast<const uint8_t*>(stack);
        size_t untouched = 0;
        while (untouched < STACK_BYTES && bytes[untouched] == PAINT) ++untouched;
        std::free(stack);
        EXPECT_EQ(job.result, noErr) << depth;
        used[depth == 32] = STACK_BYTES - untouched;
    }
    EXPECT_LT(used[1], used[0] + SLACK) << "RGB " << used[0] << " bytes, RGBA " << used[1];
#endif
}

TEST(OpenAndSave, ReadStartReportsTheImage) {
    TestHost host(moduleEntry());
    const std::string path = tempPath("640x480.qvr");
    RasterImage image = sampleImage(640, 480, 8);
    image.palette[738] = image.palette[739] = image.palette[740] = 0;
    writeFile(path, encodeImage(image));
    const intptr_t file = qvrhost::openHostFile(path, false);
    host.setDataFork(file);
    host.record().maxData = 12345;
    ASSERT_EQ(host.run({formatSelectorReadStart}), noErr);
    qvrhost::closeHostFile(file);
    const FormatRecord& r = host.record();
    EXPECT_EQ(r.imageMode, plugInModeIndexedColor);
    EXPECT_EQ(r.imageSize.v, 480);
    EXPECT_EQ(r.imageSize.h, 640);
    EXPECT_EQ(r.depth, 8);
    EXPECT_EQ(r.planes, 1);
    EXPECT_EQ(r.maxData, 12345);  // ReadStart leaves it alone
    for (int i = 0; i < 256; ++i) {
        const uint8_t white = i == WHITE_PALETTE_ENTRY ? 255 : 0;
        EXPECT_EQ(r.redLUT[i], white ? white : image.palette[3 * static_cast<size_t>(i)]) << i;
        EXPECT_EQ(r.blueLUT[i], white ? white : image.palette[3 * static_cast<size_t>(i) + 2]) << i;
    }
}

TEST(OpenAndSave, PlanesFollowTheAlphaPlane) {
    for (int32_t depth : {24, 32}) {
        TestHost host(moduleEntry());
        const std::string path = tempPath("planes.qvr");
        writeFile(path, encodeImage(sampleImage(9, 4, depth)));
        ASSERT_EQ(host.open(path), noErr);
        EXPECT_EQ(host.record().imageMode, plugInModeRGBColor);
        EXPECT_EQ(host.record().planes, depth == 32 ? 4 : 3);
        // Progress runs 1..height once per plane.
        EXPECT_EQ(host.progress.size(), depth == 32 ? 8u : 4u);
        EXPECT_EQ(host.progress.back(), (std::pair<int32_t, int32_t>{4, 4}));
    }
}

// Modes the file cannot hold, by the host's numbering (bitmap and grayscale
// are in the host interface; the rest are the host's further modes).
constexpr int16_t OTHER_MODES[] = {plugInModeBitmap, plugInModeGrayScale,  4 /* CMYK */,    5 /* HSL */,
                                   6 /* HSB */,      7 /* multichannel */, 8 /* duotone */, 9 /* Lab */};

TEST(ModeRefusal, OnlyIndexedAndRgbDocumentsAreStored) {
    for (int16_t mode : OTHER_MODES) {
        for (int16_t planes : {int16_t{1}, int16_t{3}, int16_t{4}}) {
            for (int16_t selector : {formatSelectorEstimateStart, formatSelectorWriteStart}) {
                TestHost host(moduleEntry());
                host.document().allocate(mode, 6, 3, planes);
                host.describeDocument();
                const std::string path = tempPath("other-mode.qvr");
                const intptr_t file = qvrhost::openHostFile(path, true);
                host.setDataFork(file);
                EXPECT_EQ(host.call(selector), formatBadParameters) << "mode " << mode << ", " << planes << " planes";
                qvrhost::closeHostFile(file);
                EXPECT_TRUE(readFile(path).empty()) << "mode " << mode;
                EXPECT_TRUE(host.transfers.empty()) << "mode " << mode;
            }
        }
    }
    // The editor's whole save sequence stops at the estimate, before the file is made.
    TestHost host(moduleEntry());
    host.document().allocate(4 /* CMYK */, 6, 3, 4);
    const std::string path = tempPath("cmyk.qvr");
    std::remove(path.c_str());
    EXPECT_EQ(host.save(path), formatBadParameters);
    EXPECT_FALSE(std::ifstream(path).good());
}

TEST(Estimate, FiguresForEachKind) {
    TestHost host(moduleEntry());
    int32_t minBytes = 0, maxBytes = 0;
    host.document() = qvrhost::documentFromRaster(sampleImage(100, 100, 8));
    ASSERT_EQ(host.estimate(&minBytes, &maxBytes), noErr);
    EXPECT_EQ(minBytes, 894);
    EXPECT_EQ(maxBytes, 20816);
    host.document() = qvrhost::documentFromRaster(sampleImage(100, 100, 32));
    ASSERT_EQ(host.estimate(&minBytes, &maxBytes), noErr);
    EXPECT_EQ(minBytes, 87);
    EXPECT_EQ(maxBytes, 30048);
}

TEST(FilterFile, ValidEmptyAndForeignFiles) {
    TestHost host(moduleEntry());
    EXPECT_EQ(host.filterFile(samplePath("tiles-rgb.qvr")), noErr);
    // A second look changes nothing in the record.
    FormatRecord before;
    std::memcpy(&before, &host.record(), sizeof before);
    EXPECT_EQ(host.filterFile(samplePath("badge-rgba.qvr")), noErr);
    EXPECT_EQ(std::memcmp(&before, &host.record(), sizeof before), 0);

    const std::string empty = tempPath("empty.qvr");
    writeFile(empty, {});
    EXPECT_EQ(host.filterFile(empty), formatCannotRead);  // not eofErr
    EXPECT_EQ(host.filterFile(samplePath("badge.png")), formatCannotRead);

    TestHost reader(moduleEntry());
    reader.setDataFork(qvrhost::openHostFile(empty, false));
    EXPECT_EQ(reader.call(formatSelectorReadStart), formatCannotRead);
    qvrhost::closeHostFile(reader.record().dataFork);
}

TEST(Globals, MadeOnceThenReusedAndAlwaysUnlocked) {
    TestHost host(moduleEntry());
    EXPECT_EQ(host.call(formatSelectorReadPrepare), noErr);  // the host's 0x7777 is cleared
    const intptr_t slot = host.slot;
    EXPECT_NE(slot, 0);
    EXPECT_EQ(host.handlesMade, 1);
    EXPECT_EQ(host.call(formatSelectorOptionsPrepare), noErr);
    EXPECT_EQ(host.slot, slot);
    EXPECT_EQ(host.handlesMade, 1);
    EXPECT_EQ(host.handlesLocked, host.handlesUnlocked);
}

TEST(Globals, SelectorsOutsideTheTable) {
    for (int16_t selector : {int16_t{18}, int16_t{-1}}) {
        TestHost host(moduleEntry());
        EXPECT_EQ(host.call(selector), formatBadParameters);
        EXPECT_NE(host.slot, 0);
        EXPECT_EQ(host.handlesLocked, 1);
        EXPECT_EQ(host.handlesUnlocked, 1);
    }
}

TEST(Globals, FallbackHandlesWhenTheSuiteIsUnusable) {
    auto spoil = std::vector<void (*)(HandleProcs&)>{
        [](HandleProcs& p) { p.handleProcsVersion = 2; },
        [](HandleProcs& p) { p.numHandleProcs = 6; },
        [](HandleProcs& p) { p.setSizeProc = nullptr; },
    };
    for (auto change : spoil) {
        TestHost host(moduleEntry());
        change(host.handleSuite);
        EXPECT_EQ(host.filterFile(samplePath("tiles-rgb.qvr")), noErr);
        const intptr_t slot = host.slot;
        ASSERT_NE(slot, 0);
        EXPECT_EQ(host.handlesMade, 0);
        const auto* master = reinterpret_cast<const FallbackHandle*>(slot);
        EXPECT_EQ(master->signature, FALLBACK_SIGNATURE);
        EXPECT_EQ(host.call(formatSelectorWritePrepare), noErr);
        EXPECT_EQ(host.slot, slot);
        // The globals hold the current call's pointers.
        const auto* globals = static_cast<const PluginGlobals*>(master->block);
        EXPECT_EQ(globals->paramBlock, &host.record());
        releaseFallbackGlobals(host);
    }
    handleDispose(nullptr, nullptr);  // a null handle is left alone
}

TEST(Globals, SuiteWithoutLockOrUnlockDoesNotCrash) {
    TestHost noLock(moduleEntry());
    noLock.handleSuite.lockProc = nullptr;
    EXPECT_EQ(noLock.call(formatSelectorReadPrepare), memFullErr);
    EXPECT_EQ(noLock.slot, 0);  // the handle made for the call was disposed again

    TestHost noUnlock(moduleEntry());
    noUnlock.handleSuite.unlockProc = nullptr;
    EXPECT_EQ(noUnlock.call(formatSelectorReadPrepare), noErr);
    EXPECT_EQ(noUnlock.call(formatSelectorReadPrepare), noErr);
}

TEST(Dispatch, PrepareSetsMaxDataAndOthersDoNothing) {
    TestHost host(moduleEntry());
    for (int16_t selector : {formatSelectorReadPrepare, formatSelectorOptionsPrepare, formatSelectorEstimatePrepare,
                             formatSelectorWritePrepare}) {
        host.record().maxData = 999;
        EXPECT_EQ(host.call(selector), noErr);
        EXPECT_EQ(host.record().maxData, 0) << selector;
    }
    FormatRecord before;
    std::memcpy(&before, &host.record(), sizeof before);
    for (int16_t selector : {formatSelectorReadFinish, formatSelectorOptionsContinue, formatSelectorOptionsFinish,
                             formatSelectorEstimateContinue, formatSelectorEstimateFinish, formatSelectorWriteContinue,
                             formatSelectorWriteFinish}) {
        EXPECT_EQ(host.call(selector), noErr);
    }
    EXPECT_EQ(std::memcmp(&before, &host.record(), sizeof before), 0);
}

TEST(About, ShowsTheAboutTextOwnedByTheHostWindow) {
    BoxCapture capture;
    TestHost host(moduleEntry());
    host.about(0x1234);
    ASSERT_EQ(capture.boxes.size(), 1u);
    const CapturedBox& box = capture.boxes[0];
    EXPECT_EQ(box.owner, reinterpret_cast<HWND>(0x1234));
    EXPECT_EQ(box.text.rfind("Brimwater QVR\n\nVersion 1.0 Release 2(1999/9/26)\n", 0), 0u);
    EXPECT_NE(box.text.find("\n\nBrimwater QVR plug-in file format module for Adobe Photoshop."), std::string::npos);
    EXPECT_TRUE(box.hasCaption);
    EXPECT_EQ(box.caption, "");
    EXPECT_EQ(box.type, 0x40u);
    EXPECT_EQ(host.results.back().result, 0x5555);  // the result code is not touched
    EXPECT_EQ(host.slot, 0);
}

}  // namespace
}  // namespace qvr::test
