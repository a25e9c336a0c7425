// The reader: header tests, the command grammar of both kinds of stream, what
// missing data decodes to, overruns, and the exact calls made on the stream.
#include <gtest/gtest.h>

#include "codec/internal/callback_stream.h"
#include "codec/internal/ring.h"
#include "codec/reader.h"
#include "streams/image_io.h"
#include "test_support.h"

namespace qvr::test {
namespace {

using Strings = std::vector<std::string>;

bool headerAccepted(const FileHeader& h) {
    Recorder r;
    r.input = headerBytes(h);
    CodecContext ctx = r.context();
    return identify(&ctx);
}

TEST(Header, RangeTestsAtEachBoundary) {
    EXPECT_FALSE(headerAccepted(makeHeader(8, 1, 10, 816, 48)));
    EXPECT_TRUE(headerAccepted(makeHeader(8, 2, 10, 816, 48)));
    EXPECT_TRUE(headerAccepted(makeHeader(8, 8191, 10, 816, 48)));
    EXPECT_FALSE(headerAccepted(makeHeader(8, 8192, 10, 816, 48)));
    EXPECT_FALSE(headerAccepted(makeHeader(8, 0xFFFFFFFFu, 10, 816, 48)));  // unsigned compare
    EXPECT_FALSE(headerAccepted(makeHeader(16, 10, 0, 48, 0)));
    EXPECT_TRUE(headerAccepted(makeHeader(16, 10, 1, 48, 0)));
    EXPECT_TRUE(headerAccepted(makeHeader(16, 10, 8191, 48, 0)));
    EXPECT_FALSE(headerAccepted(makeHeader(16, 10, 8192, 48, 0)));
    EXPECT_FALSE(headerAccepted(makeHeader(16, 10, 10, 47, 0)));
    EXPECT_TRUE(headerAccepted(makeHeader(16, 10, 10, 48, 0)));
}

TEST(Header, FieldTestsAndReservedFields) {
    FileHeader h = makeHeader(8, 10, 10, 816, 48);
    h.bitsPerPixel = 24;
    EXPECT_FALSE(headerAccepted(h));
    h = makeHeader(8, 10, 10, 816, 48);
    h.version = 2;
    EXPECT_FALSE(headerAccepted(h));
    h = makeHeader(8, 10, 10, 816, 48);
    h.headerSize = 64;
    EXPECT_FALSE(headerAccepted(h));
    h = makeHeader(8, 10, 10, 816, 48);
    h.magic[1] = 'W';
    EXPECT_FALSE(headerAccepted(h));
    h = makeHeader(8, 10, 10, 816, 48);
    h.reserved0 = 0x1234;
    h.reserved1 = 0;
    h.reserved2[1] = 0xDEADBEEF;
    h.reserved3[0] = 7;
    EXPECT_TRUE(headerAccepted(h));  // reserved fields are never looked at
}

TEST(Header, ShortOrEmptyFileFails) {
    Bytes full = headerBytes(makeHeader(8, 10, 10, 816, 48));
    for (long len : {0, 1, 3, 5, 7, 24, 28, 32}) {
        Recorder r;
        r.input.assign(full.begin(), full.begin() + len);
        CodecContext ctx = r.context();
        EXPECT_FALSE(identify(&ctx)) << len;
    }
}

TEST(ReadInfo, PaletteEntry246IsForcedWhite) {
    Bytes palette(768);
    for (size_t i = 0; i < 768; ++i) palette[i] = static_cast<uint8_t>(i * 7);
    palette[738] = palette[739] = palette[740] = 0;
    Recorder r;
    r.input = indexedFile(640, 480, {}, palette);
    CodecContext ctx = r.context();
    FileHeader h;
    ASSERT_TRUE(readInfo(&ctx, &h));
    EXPECT_EQ(ctx.width, 640);
    EXPECT_EQ(ctx.height, 480);
    EXPECT_EQ(ctx.depth, 8);
    for (size_t i = 0; i < 768; ++i) {
        if (i >= 738 && i <= 740)
            EXPECT_EQ(ctx.palette[i], 255);
        else
            EXPECT_EQ(ctx.palette[i], palette[i]) << i;
    }
    EXPECT_EQ(r.calls, (Strings{"seek(0,0)", "read(48)", "seek(48,0)", "read(768)"}));
}

TEST(ReadInfo, ColourDepthFollowsAuxOffsetAndReadsOnlyTheHeader) {
    for (uint32_t aux : {0u, 1000u}) {
        Recorder r;
        r.input = headerBytes(makeHeader(16, 5, 6, 48, aux));
        CodecContext ctx = r.context();
        FileHeader h;
        ASSERT_TRUE(readInfo(&ctx, &h));
        EXPECT_EQ(ctx.depth, aux ? 32 : 24);
        EXPECT_EQ(r.calls, (Strings{"seek(0,0)", "read(48)"}));
    }
}

TEST(ReadInfo, FailingHeaderLeavesContextUnchanged) {
    Recorder r;
    r.input = headerBytes(makeHeader(8, 1, 1, 816, 48));
    CodecContext ctx = r.context();
    ctx.width = 77;
    ctx.height = 88;
    ctx.depth = 99;
    ctx.palette[5] = 42;
    FileHeader h;
    EXPECT_FALSE(readInfo(&ctx, &h));
    EXPECT_EQ(ctx.width, 77);
    EXPECT_EQ(ctx.height, 88);
    EXPECT_EQ(ctx.depth, 99);
    EXPECT_EQ(ctx.palette[5], 42);
}

// Decodes a file with the recorder and returns the rows handed over.
struct Decoded {
    bool ok;
    DecodeReport report;
    std::vector<Bytes> rows;
    Strings calls;
};

Decoded decodeWithRecorder(const Bytes& file) {
    Recorder r;
    r.input = file;
    r.recordByteReads = false;
    CodecContext ctx = r.context();
    Decoded d{};
    d.report = decodeImage(&ctx);
    d.ok = d.report.outcome == DecodeOutcome::Complete || d.report.outcome == DecodeOutcome::AlphaOverrun;
    d.rows = r.rowsPut;
    d.calls = r.calls;
    return d;
}

TEST(Decode8, WorkedExampleRowsAndCopyUp) {
    const Bytes stream = {0xFC, 0x00, 0x01, 0x02, 0xFD, 0x00, 0x09, 0xF8, 0xFF, 0x10, 0xFF, 0x09};
    Decoded d = decodeWithRecorder(indexedFile(12, 2, stream));
    ASSERT_TRUE(d.ok);
    const Bytes row = {1, 2, 1, 2, 1, 2, 9, 9, 9, 9, 246, 16};
    ASSERT_EQ(d.rows.size(), 2u);
    EXPECT_EQ(d.rows[0], row);
    EXPECT_EQ(d.rows[1], row);
}

TEST(Decode8, TheHostSeesZerosPastEachRowInItsSlot) {
    // A busy wide image first leaves its rows on the stack where the next
    // decode's ring lies; a host is handed whole slots and must not see them.
    Bytes busy(700 * 4);
    for (size_t k = 0; k < busy.size(); ++k) busy[k] = static_cast<uint8_t>(k % 200);
    ASSERT_TRUE(decodeWithRecorder(indexedFile(700, 4, busy)).ok);
    Recorder r;
    r.input = indexedFile(5, 2, {1, 2, 3, 4, 5, 0xFF, 0x02});
    CodecContext ctx = r.context();
    static int32_t staleBytes;
    staleBytes = 0;
    ctx.procs.putRows = [](void*, void* buffer, int32_t rowBytes, int32_t, int32_t, int32_t, int32_t width,
                           int32_t) -> int32_t {
        const auto* bytes = static_cast<const uint8_t*>(buffer);
        for (int32_t k = width; k < rowBytes; ++k) staleBytes += bytes[k] != 0;
        return 1;
    };
    EXPECT_EQ(decodeImage(&ctx).outcome, DecodeOutcome::Complete);
    EXPECT_EQ(staleBytes, 0);
}

TEST(Decode8, CallSequenceOfTwoFilledRows) {
    Decoded d = decodeWithRecorder(indexedFile(4, 2, {0xFD, 0x00, 0x07, 0xFF, 0x01}));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.calls, (Strings{"seek(0,0)", "read(48)", "seek(48,0)", "read(768)", "seek(816,0)",
                                "putRows(kind=8,top=0,w=4,rb=8192)", "progress(1,2)",
                                "putRows(kind=8,top=1,w=4,rb=8192)", "progress(2,2)"}));
    EXPECT_EQ(d.rows[1], (Bytes{7, 7, 7, 7}));
}

TEST(Decode8, OverrunDeliversNothingMore) {
    Decoded d = decodeWithRecorder(indexedFile(4, 2, {0xFD, 0x01, 0x07}));
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.report.outcome, DecodeOutcome::FirstPlaneOverrun);
    EXPECT_EQ(d.report.row, 0);
    EXPECT_TRUE(d.rows.empty());
    EXPECT_EQ(d.calls.back(), "seek(816,0)");  // no progress for the broken row
}

TEST(Decode8, RowEndingExactlyAtWidthIsComplete) {
    // width 6: a fill of 4 then a pair run would overrun; a fill of 4 and two literals fits
    EXPECT_TRUE(decodeWithRecorder(indexedFile(6, 1, {0xFD, 0x00, 3, 1, 2})).ok);
    EXPECT_FALSE(decodeWithRecorder(indexedFile(6, 1, {0xFD, 0x00, 3, 0xFD, 0x00, 3})).ok);
}

TEST(Decode8, OperandMappingAndLiterals) {
    // 0xF9..0xFB are literals here; an escaped 255 and a fill of 255 read as 246
    Decoded d = decodeWithRecorder(indexedFile(9, 1, {0xF9, 0xFA, 0xFB, 0xF8, 0xFF, 0xF8, 0xFE, 0xFD, 0x00, 0xFF}));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.rows[0], (Bytes{249, 250, 251, 246, 254, 246, 246, 246, 246}));
}

TEST(Decode8, LongestPairRunMapsBothOperands) {
    Decoded d = decodeWithRecorder(indexedFile(516, 1, {0xFC, 0xFF, 0x05, 0xFF}));
    ASSERT_TRUE(d.ok);
    ASSERT_EQ(d.rows[0].size(), 516u);
    for (size_t i = 0; i < 516; ++i) EXPECT_EQ(d.rows[0][i], i % 2 ? 246 : 5) << i;
}

TEST(Decode16, WorkedExampleWidensPixels) {
    const Bytes stream = {0x34, 0x12, 0xF8, 0xF9, 0x00, 0xF9, 0x02, 0xA5, 0x00, 0xFF, 0x44};
    Decoded d = decodeWithRecorder(colourFile(5, 1, stream));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.rows[0], (Bytes{16, 69, 165, 0, 28, 206, 165, 0, 165, 189, 60, 189, 173, 4, 165}));
}

TEST(Decode16, PackedRunOfTwo) {
    Decoded d = decodeWithRecorder(colourFile(2, 1, {0xF9, 0x01, 0x0D, 0x84, 0x85}));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.rows[0], (Bytes{16, 69, 165, 16, 69, 173}));
}

TEST(Decode16, WideningOfPrimaries) {
    const uint16_t pixels[] = {0xFFFF, 0xF800, 0x07E0, 0x001F, 0x8410, 0x0000};
    uint8_t rgb[18];
    rgbFrom565(rgb, pixels, 6);
    EXPECT_EQ(Bytes(rgb, rgb + 18), (Bytes{255, 255, 255, 255, 0, 0, 0, 255, 0, 0, 0, 255, 132, 130, 132, 0, 0, 0}));
}

TEST(Decode16, StrayBackReferencesReadZero) {
    // Row 0: CMD_UP_LEFT at position 0, CMD_UP_RIGHT, a copy from above and from two above.
    const Bytes stream = {0xFB, 0xFA, 0xFF, 0x00, 0xFE, 0x00};
    Decoded d = decodeWithRecorder(colourFile(6, 1, stream));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.rows[0], Bytes(18, 0));
    // Row 1 looks left of position 0 (before slot 0) and right of the last pixel.
    Decoded f = decodeWithRecorder(colourFile(3, 2, {0xFD, 0x00, 0x34, 0x12, 0xFB, 0xFB, 0xFA}));
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.rows[1], (Bytes{0, 0, 0, 16, 69, 165, 0, 0, 0}));
}

TEST(Decode16, StrayBackReferencesReadZeroAfterABusyImage) {
    // A busy image first leaves its rows on the stack where the next decode's
    // row ring lies: what the stray references see must still be cleared.
    Bytes busy;
    for (int32_t k = 0; k < 700 * 4; ++k) busy.insert(busy.end(), {static_cast<uint8_t>(k % 200), 0x5A});
    const Bytes stray = colourFile(6, 1, {0xFB, 0xFA, 0xFF, 0x00, 0xFE, 0x00});
    const Bytes busyFile = colourFile(700, 4, busy);
    ASSERT_TRUE(decodeWithRecorder(busyFile).ok);
    Decoded general = decodeWithRecorder(stray);
    ASSERT_TRUE(general.ok);
    EXPECT_EQ(general.rows[0], Bytes(18, 0));
    RasterImage image;
    ASSERT_EQ(loadQvrMemory(busyFile.data(), busyFile.size(), image), "");
    ASSERT_EQ(loadQvrMemory(stray.data(), stray.size(), image), "");
    EXPECT_EQ(image.rgb, Bytes(18, 0));
}

TEST(Decode16, AlphaPlaneProgressAndKinds) {
    const Bytes colour = {0xFD, 0x00, 0x34, 0x12, 0xFF, 0x01};
    const Bytes alpha = {0x80, 0x80, 0x80, 0xFF, 0x00};
    Decoded d = decodeWithRecorder(colourFile(3, 2, colour, alpha));
    ASSERT_TRUE(d.ok);
    ASSERT_EQ(d.report.outcome, DecodeOutcome::Complete);
    ASSERT_EQ(d.rows.size(), 4u);
    const std::string aux = std::to_string(48 + colour.size());
    EXPECT_EQ(d.calls, (Strings{"seek(0,0)", "read(48)", "seek(48,0)", "putRows(kind=24,top=0,w=3,rb=24576)",
                                "progress(1,2)", "putRows(kind=24,top=1,w=3,rb=24576)", "progress(2,2)",
                                "seek(" + aux + ",0)", "putRows(kind=48,top=0,w=3,rb=8192)", "progress(1,2)",
                                "putRows(kind=48,top=1,w=3,rb=8192)", "progress(2,2)"}));
    EXPECT_EQ(d.rows[3], (Bytes{0x80, 0x80, 0x80}));
}

TEST(Decode16, OverrunInColourSkipsAlphaAndOverrunInAlphaStillSucceeds) {
    Decoded colourBroken = decodeWithRecorder(colourFile(3, 1, {0xFD, 0x01, 0, 0}, {1, 2, 3}));
    EXPECT_FALSE(colourBroken.ok);
    EXPECT_TRUE(colourBroken.rows.empty());

    Decoded alphaBroken =
        decodeWithRecorder(colourFile(3, 2, {0xFD, 0x00, 0, 0, 0xFF, 0x01}, {1, 2, 3, 0xFD, 0x00, 9}));
    EXPECT_TRUE(alphaBroken.ok);
    EXPECT_EQ(alphaBroken.report.outcome, DecodeOutcome::AlphaOverrun);
    EXPECT_EQ(alphaBroken.report.row, 1);
    EXPECT_EQ(alphaBroken.rows.size(), 3u);  // two colour rows, one alpha row
}

TEST(EndOfData, ReadByteAndReadWordFillers) {
    Recorder r;
    r.input = {0x34, 0x12, 0x56};
    CodecContext ctx = r.context();
    EXPECT_EQ(readWord(ctx.procs), 0x1234);
    EXPECT_EQ(readWord(ctx.procs) & 0xFFFF, 0xFF56);  // second byte missing
    EXPECT_EQ(readWord(ctx.procs) & 0xFFFF, 0xFFFF);  // both missing
    EXPECT_EQ(readWord(ctx.procs), -1);
    EXPECT_EQ(readByte(ctx.procs), -1);
    EXPECT_EQ(readByte(ctx.procs), -1);
}

TEST(EndOfData, MissingBytesDecodeToFillersAndRowsRunToTheEnd) {
    // 8-bit: the stream stops after one literal; -1 literals are 0xFF, unmapped.
    Decoded d8 = decodeWithRecorder(indexedFile(3, 3, {0x07}));
    ASSERT_TRUE(d8.ok);
    EXPECT_EQ(d8.rows[0], (Bytes{7, 255, 255}));
    EXPECT_EQ(d8.calls.back(), "progress(3,3)");

    // 16-bit, stream ends between commands in row 0 of a height-3 image.
    Decoded d16 = decodeWithRecorder(colourFile(2, 3, {0x00, 0x00}));
    ASSERT_TRUE(d16.ok);
    EXPECT_EQ(d16.rows.size(), 3u);
    EXPECT_EQ(d16.rows[0], (Bytes{0, 0, 0, 255, 255, 255}));

    // A last byte CMD_PACKED: no pixels, then 0xFFFF literals.
    Decoded packed = decodeWithRecorder(colourFile(2, 1, {0x00, 0x00, 0xF9}));
    ASSERT_TRUE(packed.ok);
    EXPECT_EQ(packed.rows[0], (Bytes{0, 0, 0, 255, 255, 255}));

    // A missing high byte of a literal gives 0xFF00 plus the low byte: 0xFF1F.
    Decoded half = decodeWithRecorder(colourFile(2, 1, {0x00, 0x00, 0x1F}));
    ASSERT_TRUE(half.ok);
    EXPECT_EQ(half.rows[0], (Bytes{0, 0, 0, 255, 227, 255}));
}

TEST(EndOfData, MissingCountsUseTheBiasLessOne) {
    // 8-bit fill with a missing count: 3 samples of 0xFF (not 246).
    Decoded fill = decodeWithRecorder(indexedFile(3, 1, {0xFD}));
    ASSERT_TRUE(fill.ok);
    EXPECT_EQ(fill.rows[0], (Bytes{255, 255, 255}));
    // 8-bit pair with a missing count: 2 pairs overrun a width of 3.
    EXPECT_FALSE(decodeWithRecorder(indexedFile(3, 1, {0xFC})).ok);
    // 16-bit pair with a missing count: one pair of 0xFFFF.
    Decoded pair = decodeWithRecorder(colourFile(2, 1, {0xFC}));
    ASSERT_TRUE(pair.ok);
    EXPECT_EQ(pair.rows[0], Bytes(6, 255));
}

TEST(RowRing, RowsRotateThroughFourSlots) {
    RowRing<uint8_t, 0> ring;
    EXPECT_EQ(ring.slot(5), ring.slot(1));
    EXPECT_EQ(ring.slot(5 - 1), ring.slot(0));
    EXPECT_EQ(ring.slot(5 - 2), ring.slot(3));
    EXPECT_EQ(ring.slot(-1), ring.slot(3));
    EXPECT_EQ(ring.slot(1) - ring.slot(0), 8192);
}

}  // namespace
}  // namespace qvr::test
