// The writer: the encoders' choices (candidate order, ties, caps, literals and
// escapes, packed runs), the file framing and the size estimate.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "codec/internal/measure.h"
#include "codec/internal/callback_stream.h"
#include "codec/internal/line_encoder.h"
#include "codec/writer.h"
#include "streams/image_io.h"
#include "test_support.h"

namespace qvr::test {
namespace {

using Strings = std::vector<std::string>;
using Pixels = std::vector<uint16_t>;

// Runs writeImage over rows given as 8-bit samples; returns the stream after the palette.
Bytes encodeIndexed(int32_t width, const std::vector<Bytes>& rows, Recorder* out = nullptr) {
    Recorder local;
    Recorder& r = out ? *out : local;
    r.recordByteReads = false;
    r.rowSource = [&rows](int32_t, int32_t top, int32_t w, uint8_t* buffer) {
        std::memcpy(buffer, rows[static_cast<size_t>(top)].data(), static_cast<size_t>(w));
    };
    CodecContext ctx = r.context();
    ctx.width = width;
    ctx.height = static_cast<int32_t>(rows.size());
    ctx.depth = 8;
    EXPECT_EQ(writeImage(&ctx), 1);
    return Bytes(r.output.begin() + 816, r.output.end());
}

Bytes rgbOf(const Pixels& row) {
    Bytes rgb;
    for (uint16_t p : row) {
        rgb.push_back(static_cast<uint8_t>((p >> 11) << 3));
        rgb.push_back(static_cast<uint8_t>(((p >> 5) & 63) << 2));
        rgb.push_back(static_cast<uint8_t>((p & 31) << 3));
    }
    return rgb;
}

// Runs writeImage at depth 24 over rows of 5-6-5 pixels; returns the colour stream.
Bytes encodeColour(const std::vector<Pixels>& rows) {
    Recorder r;
    std::vector<Bytes> rgbRows;
    for (const auto& row : rows) rgbRows.push_back(rgbOf(row));
    r.rowSource = [&rgbRows](int32_t, int32_t top, int32_t, uint8_t* buffer) {
        const Bytes& row = rgbRows[static_cast<size_t>(top)];
        std::memcpy(buffer, row.data(), row.size());
    };
    CodecContext ctx = r.context();
    ctx.width = static_cast<int32_t>(rows[0].size());
    ctx.height = static_cast<int32_t>(rows.size());
    ctx.depth = 24;
    writeImage(&ctx);
    return Bytes(r.output.begin() + 48, r.output.end());
}

TEST(Encode8, WorkedExampleAndARepeatedRow) {
    const Bytes row = {1, 2, 1, 2, 1, 2, 9, 9, 9, 9, 246, 16};
    EXPECT_EQ(encodeIndexed(12, {row, row}), (Bytes{0xFC, 0x00, 0x01, 0x02, 0xFD, 0x00, 0x09, 0xF6, 0x10, 0xFF, 0x09}));
}

TEST(Encode8, FillBeatsPairOnATieAndCapEndsMeasuring) {
    EXPECT_EQ(encodeIndexed(9, {{5, 5, 5, 5, 5, 5, 5, 5, 6}}), (Bytes{0xFD, 0x04, 0x05, 0x06}));
    EXPECT_EQ(encodeIndexed(8, {{5, 5, 5, 5, 5, 5, 5, 5}}), (Bytes{0xFD, 0x04, 0x05}));
}

TEST(Encode8, ShortRunsAreLiterals) {
    EXPECT_EQ(encodeIndexed(5, {{3, 3, 3, 4, 5}}), (Bytes{3, 3, 3, 4, 5}));
    EXPECT_EQ(encodeIndexed(2, {{7, 7}}), (Bytes{7, 7}));
    EXPECT_EQ(encodeIndexed(1, {{7}}), (Bytes{7}));
}

TEST(Encode8, PairRuns) {
    EXPECT_EQ(encodeIndexed(6, {{1, 2, 1, 2, 1, 2}}), (Bytes{0xFC, 0x00, 0x01, 0x02}));
    EXPECT_EQ(encodeIndexed(5, {{1, 2, 1, 2, 1}}), (Bytes{1, 2, 1, 2, 1}));
    // An odd remainder leaves the last byte to the next step.
    EXPECT_EQ(encodeIndexed(7, {{1, 2, 1, 2, 1, 2, 1}}), (Bytes{0xFC, 0x00, 0x01, 0x02, 0x01}));
}

TEST(Encode8, EscapesAndUnescapedOperands) {
    EXPECT_EQ(encodeIndexed(3, {{0xFF, 0xF7, 0xF8}}), (Bytes{0xF8, 0xFF, 0xF7, 0xF8, 0xF8}));
    EXPECT_EQ(encodeIndexed(4, {{0xFF, 0xFF, 0xFF, 0xFF}}), (Bytes{0xFD, 0x00, 0xFF}));
}

TEST(Encode8, CopiesOnlyWhereRowsExist) {
    const Bytes a = {1, 2, 3, 4, 5};
    const Bytes b = {9, 8, 7, 6, 5};
    // Row 1 copies the row above; row 3 matches only the row two above.
    EXPECT_EQ(encodeIndexed(5, {a, a, b, a}), (Bytes{1, 2, 3, 4, 5, 0xFF, 0x02, 9, 8, 7, 6, 5, 0xFE, 0x02}));
}

TEST(Encode8, WideRowEqualToTheRowAboveUsesCappedCopies) {
    Bytes row(600);
    for (size_t i = 0; i < row.size(); ++i) row[i] = static_cast<uint8_t>(i * 37 % 200);
    Bytes stream = encodeIndexed(600, {row, row});
    const Bytes tail(stream.end() - 6, stream.end());
    EXPECT_EQ(tail, (Bytes{0xFF, 255, 0xFF, 255, 0xFF, 81}));
}

// Literals go out a group at a time; a command that starts anywhere inside a
// stretch of literals (at every offset of a group, each kind, with escaped
// literals around it) must still be found, through the table and in memory.
TEST(Encode8, CommandsInsideLiteralStretchesAreFound) {
    constexpr int32_t WIDTH = 48;
    auto base = [](int32_t r, int32_t i) {  // no candidate anywhere; some literals escaped
        return static_cast<uint8_t>(i % 11 == 5 ? 0xF8 + (i + r) % 8 : (r * 101 + i * 7) % 240);
    };
    auto literals = [](Bytes& stream, const Bytes& row, int32_t from, int32_t to) {
        for (int32_t i = from; i < to; ++i) {
            if (row[static_cast<size_t>(i)] >= 0xF8) stream.push_back(0xF8);
            stream.push_back(row[static_cast<size_t>(i)]);
        }
    };
    for (int32_t kind = 0; kind < 4; ++kind) {
        for (int32_t k = 0; k + 6 <= WIDTH; ++k) {
            std::vector<Bytes> rows(3, Bytes(WIDTH));
            for (int32_t r = 0; r < 3; ++r)
                for (int32_t i = 0; i < WIDTH; ++i) rows[static_cast<size_t>(r)][static_cast<size_t>(i)] = base(r, i);
            Bytes& last = rows[2];
            Bytes command;
            int32_t covered = 0;
            switch (kind) {
            case 0:  // three samples as the row above
                std::copy_n(rows[1].begin() + k, 3, last.begin() + k);
                command = {0xFF, 0}, covered = 3;
                break;
            case 1:  // three as two rows above
                std::copy_n(rows[0].begin() + k, 3, last.begin() + k);
                command = {0xFE, 0}, covered = 3;
                break;
            case 2:  // four equal samples
                std::fill_n(last.begin() + k, 4, uint8_t{245});
                command = {0xFD, 0, 245}, covered = 4;
                break;
            default:  // three pairs
                for (int32_t n = 0; n < 6; ++n) last[static_cast<size_t>(k + n)] = n % 2 ? 242 : 241;
                command = {0xFC, 0, 241, 242}, covered = 6;
                break;
            }
            Bytes want;
            literals(want, rows[0], 0, WIDTH);
            literals(want, rows[1], 0, WIDTH);
            literals(want, last, 0, k);
            want.insert(want.end(), command.begin(), command.end());
            literals(want, last, k + covered, WIDTH);
            const std::string what = "kind " + std::to_string(kind) + " at " + std::to_string(k);
            EXPECT_EQ(encodeIndexed(WIDTH, rows), want) << what;

            RasterImage image;
            image.allocate(WIDTH, 3, 8);
            for (int32_t r = 0; r < 3; ++r)
                std::copy(rows[static_cast<size_t>(r)].begin(), rows[static_cast<size_t>(r)].end(),
                          image.indices.begin() + r * WIDTH);
            Bytes fast;
            ASSERT_EQ(saveQvrMemory(image, fast), "") << what;
            EXPECT_EQ(Bytes(fast.begin() + 816, fast.end()), want) << what;
        }
    }
}

TEST(Encode16, WorkedExample) {
    EXPECT_EQ(encodeColour({{0x1234, 0x00F9, 0xA014, 0xB9F7, 0xA834}}),
              (Bytes{0x34, 0x12, 0xF8, 0xF9, 0x00, 0xF9, 0x02, 0xA5, 0x00, 0xFF, 0x44}));
}

TEST(Encode16, PackedRunsAndTheirStops) {
    EXPECT_EQ(encodeColour({{0x1234, 0x1235}}), (Bytes{0xF9, 0x01, 0x0D, 0x84, 0x85}));
    // u v w w w x: packed u v, then a fill of three w.
    const uint16_t u = 0x1234, v = 0x1235, w = 0x1236, x = 0x0000;
    EXPECT_EQ(encodeColour({{u, v, w, w, w, x}}),
              (Bytes{0xF9, 0x01, 0x0D, 0x84, 0x85, 0xFD, 0x00, 0x36, 0x12, 0x00, 0x00}));
    EXPECT_EQ(packedRunLength(Pixels{u, w, w, w}.data(), 4), 1);
    EXPECT_EQ(packedRunLength(Pixels{u, v, u, v}.data(), 4), 4);
    EXPECT_EQ(packedRunLength(Pixels{u, x}.data(), 2), 1);
    EXPECT_EQ(packedRunLength(Pixels{u}.data(), 1), 1);
}

TEST(Encode16, LiteralsEscapeOnTheLowByteOnly) {
    EXPECT_EQ(encodeColour({{0x00F8, 0xF800}}), (Bytes{0xF8, 0xF8, 0x00, 0x00, 0xF8}));
}

TEST(Encode16, SinglePixelReferences) {
    // Row 1 pixel 1 equals the pixel above-left and above-right: UP_LEFT wins.
    const Pixels top = {0x1111, 0x2222, 0x1111, 0x3333};
    const Pixels below = {0x4444, 0x1111, 0x5555, 0x6666};
    Bytes stream = encodeColour({top, below});
    const Bytes row1(stream.begin() + 8, stream.end());
    EXPECT_EQ(row1[0], 0x44);
    EXPECT_EQ(row1[2], CMD_UP_LEFT);
    // Pixel 0 never looks left, the last pixel never looks right.
    Bytes edge = encodeColour({{0x0707, 0x0101}, {0x0101, 0x0909}});
    EXPECT_EQ(Bytes(edge.begin() + 4, edge.end()), (Bytes{0xFA, 0x09, 0x09}));
}

TEST(Encode16, WideRowEqualToTheRowAbove) {
    Pixels row(600);
    for (size_t i = 0; i < row.size(); ++i) row[i] = static_cast<uint16_t>(i * 997);
    Bytes stream = encodeColour({row, row});
    EXPECT_EQ(Bytes(stream.end() - 6, stream.end()), (Bytes{0xFF, 255, 0xFF, 255, 0xFF, 84}));
}

// Literals go out a group at a time here too: each kind of command, and a
// packed run, starting at every offset of a stretch of literals (some
// escaped) is still found, through the table and in memory.
TEST(Encode16, CommandsInsideLiteralStretchesAreFound) {
    constexpr int32_t WIDTH = 40;
    auto base = [](int32_t r, int32_t i) {  // neighbours differ in their top bits: no candidate, no packed run
        const int32_t low = i % 11 == 5 ? 0xF8 + (i + r) % 8 : (r * 37 + i * 9) % 240;
        return static_cast<uint16_t>(((i + r) % 8) << 13 | ((r + 2 * i) % 32) << 8 | low);
    };
    struct Kind {
        uint8_t command;
        int32_t covered;
        void (*make)(std::vector<Pixels>& rows, int32_t k);
    };
    const Kind kinds[] = {
        {0xFF, 2, [](std::vector<Pixels>& rows, int32_t k) { std::copy_n(&rows[1][k], 2, &rows[2][k]); }},
        {0xFE, 2, [](std::vector<Pixels>& rows, int32_t k) { std::copy_n(&rows[0][k], 2, &rows[2][k]); }},
        {0xFD, 3, [](std::vector<Pixels>& rows, int32_t k) { std::fill_n(&rows[2][k + 1], 2, rows[2][k]); }},
        {0xFC, 4, [](std::vector<Pixels>& rows, int32_t k) { std::copy_n(&rows[2][k], 2, &rows[2][k + 2]); }},
        {0xF9, 2, [](std::vector<Pixels>& rows, int32_t k) { rows[2][k + 1] = rows[2][k] ^ 0x0101; }},
        {0xFB, 1, [](std::vector<Pixels>& rows, int32_t k) { rows[2][k] = rows[1][k - 1]; }},
        {0xFA, 1, [](std::vector<Pixels>& rows, int32_t k) { rows[2][k] = rows[1][k + 1]; }},
    };
    for (const Kind& kind : kinds) {
        for (int32_t k = kind.command == 0xFB ? 1 : 0; k + 4 <= WIDTH; ++k) {
            std::vector<Pixels> rows(3, Pixels(WIDTH));
            for (int32_t r = 0; r < 3; ++r)
                for (int32_t i = 0; i < WIDTH; ++i) rows[r][i] = base(r, i);
            kind.make(rows, k);
            // The stream: every pixel a literal, but the command's bytes at k.
            Bytes literals = encodeColour({rows[0], rows[1]});
            const Bytes whole = encodeColour(rows);
            const std::string what = "command " + std::to_string(kind.command) + " at " + std::to_string(k);
            size_t at = literals.size();
            for (int32_t i = 0; i < k; ++i) at += (rows[2][i] & 0xFF) >= 0xF8 ? 3 : 2;
            ASSERT_GT(whole.size(), at) << what;
            EXPECT_EQ(Bytes(whole.begin(), whole.begin() + static_cast<long>(literals.size())), literals) << what;
            EXPECT_EQ(whole[at], kind.command) << what;

            RasterImage image;
            image.allocate(WIDTH, 3, 24);
            for (int32_t r = 0; r < 3; ++r) {
                const Bytes rgb = rgbOf(rows[r]);
                std::copy(rgb.begin(), rgb.end(), image.rgb.begin() + 3 * r * WIDTH);
            }
            Bytes fast;
            ASSERT_EQ(saveQvrMemory(image, fast), "") << what;
            EXPECT_EQ(Bytes(fast.begin() + 48, fast.end()), whole) << what;
        }
    }
}

// The encoders count a group's literals off one look at it, and the colour
// and alpha encoders read most commands off the same look. Measured one
// position at a time instead (every candidate, then a literal, or for pixels
// a packed run), rows rich in short commands, ties and runs that cross
// groups must come out the same, in memory and byte by byte.
struct ByteSink {
    Bytes bytes;
    void putByte(int32_t value) { bytes.push_back(static_cast<uint8_t>(value)); }
    void putWord(int32_t value) { putByte(value & 0xFF), putByte(value >> 8); }
    uint8_t* place(int32_t, int32_t) { return nullptr; }
};
Bytes measuredRow(const uint8_t* cur, const uint8_t* up, const uint8_t* up2, int32_t r, int32_t width) {
    ByteSink out;
    for (int32_t i = 0; i < width;) {
        const Choice chosen = chooseCommand8(cur, up, up2, r, i, width);
        if (chosen.command >= 0) {
            i += emitCommand(out, cur, i, chosen.command, chosen.length);
        } else {
            putLiteral(out, cur[i]);
            ++i;
        }
    }
    return out.bytes;
}
Bytes measuredRow(const uint16_t* cur, const uint16_t* up, const uint16_t* up2, int32_t r, int32_t width) {
    ByteSink out;
    for (int32_t j = 0; j < width;) {
        const Choice chosen = chooseCommand16(cur, up, up2, r, j, width);
        j += chosen.command >= 0 ? emitCommand(out, cur, j, chosen.command, chosen.length)
                                 : emitPackedOrLiteral16(out, cur, j, width);
    }
    return out.bytes;
}
// Samples have two encoders: index rows' and alpha rows'.
template <typename Sample>
constexpr int32_t ROW_ENCODERS = sizeof(Sample) == 1 ? 2 : 1;
template <typename Row, typename Sample>
void encodeRow(Row& out, const Sample* cur, const Sample* up, const Sample* up2, int32_t r, int32_t width,
               int32_t encoder) {
    if constexpr (sizeof(Sample) == 1) {
        if (encoder == 0)
            encodeRow8(out, cur, up, up2, r, width);
        else
            encodeAlphaRow8(out, cur, up, up2, r, width);
    } else {
        encodeRow16(out, cur, up, up2, r, width);
    }
}

// Six values: for pixels two share their high bits with the first and one
// is escaped; for samples two are escaped.
template <typename Sample, typename Ring>
void expectGroupDecisionsMatchMeasuring(const Sample (&values)[6]) {
    uint32_t seed = 2024;
    auto next = [&seed](uint32_t n) { return seed = seed * 1103515245u + 12345u, (seed >> 16) % n; };
    auto ring = std::make_unique<Ring>();
    std::vector<uint8_t> memory(4096);
    for (int32_t trial = 0; trial < 90; ++trial) {
        // Every fifth trial is wide, with runs long enough to meet a command's cap.
        const bool wide = trial % 5 == 0;
        const int32_t width = static_cast<int32_t>(wide ? 260 + next(600) : 2 + next(120));
        ring->clearFor(width, WRITER_SPARE_SAMPLES);
        for (int32_t r = 0; r < 5; ++r) {
            Sample* cur = ring->slot(r);
            const Sample* up = ring->slot(r - 1);
            const Sample* up2 = ring->slot(r - 2);
            for (int32_t i = 0; i < width; ++i) {
                // Short commands of every kind; in every third trial, and every
                // wide one, long runs of one kind a row.
                const uint32_t pick = trial % 3 == 0 || wide
                                          ? (next(wide ? 400 : 4) != 0 ? 6 + static_cast<uint32_t>(r) % 4 : 10)
                                          : next(10);
                cur[i] = pick < 3 && r > 0                   ? up[i + static_cast<int32_t>(pick) - 1]
                         : (pick < 5 || pick == 6) && i > 0  ? cur[i - 1]
                         : (pick == 5 || pick == 7) && i > 1 ? cur[i - 2]
                         : pick == 8 && r > 0                ? up[i]
                         : pick == 9 && r > 1                ? up2[i]
                                                             : values[next(6)];
            }
            const Bytes want = measuredRow(cur, up, up2, r, width);
            for (int32_t encoder = 0; encoder < ROW_ENCODERS<Sample>; ++encoder) {
                const std::string what = "trial " + std::to_string(trial) + " row " + std::to_string(r) + " encoder " +
                                         std::to_string(encoder);
                ByteSink sink;
                encodeRow(sink, cur, up, up2, r, width, encoder);
                EXPECT_EQ(sink.bytes, want) << what;
                RowBytes inPlace{memory.data()};
                encodeRow(inPlace, cur, up, up2, r, width, encoder);
                EXPECT_EQ(Bytes(memory.data(), inPlace.cursor), want) << what;
            }
        }
    }
}

TEST(Encode8, GroupDecisionsMatchMeasuringEachPosition) {
    expectGroupDecisionsMatchMeasuring<uint8_t, WriterByteRing>({0x12, 0x34, 0xF9, 0xFF, 0x00, 0x35});
}

TEST(Encode16, GroupDecisionsMatchMeasuringEachPosition) {
    expectGroupDecisionsMatchMeasuring<uint16_t, WriterPixelRing>({0x1234, 0x1235, 0x1335, 0x9AF9, 0x4321, 0x0000});
}

// Past a row's end the ring holds zeros, which a look near the end sees. A
// last pixel of 0 after literals must not be coded as the pixel above to its
// right, as marks read past the row would have it.
TEST(Encode16, LastPixelsAreCodedAsMeasured) {
    auto ring = std::make_unique<WriterPixelRing>();
    for (int32_t width = 16; width <= 40; ++width) {
        ring->clearFor(width, WRITER_SPARE_SAMPLES);
        uint16_t* up = ring->slot(0);
        uint16_t* cur = ring->slot(1);
        for (int32_t k = 0; k < width; ++k) {  // no two neighbours share their high bits
            up[k] = static_cast<uint16_t>(0x8421 + 0x2000 * (k % 3) + 0x0400 * (k % 2));
            cur[k] = static_cast<uint16_t>(0x1010 + 0x2000 * (k % 3) + 0x0400 * (k % 2));
        }
        cur[width - 1] = 0;
        ByteSink sink;
        encodeRow16(sink, cur, up, ring->slot(-1), 1, width);
        EXPECT_EQ(sink.bytes, measuredRow(cur, up, ring->slot(-1), 1, width)) << "width " << width;
    }
}

TEST(Encode16, ConversionDropsLowBits) {
    const uint8_t rgb[] = {0x12, 0x34, 0x56, 255, 255, 255};
    uint16_t out[2];
    rgbTo565(out, rgb, 2);
    EXPECT_EQ(out[0], 0x11AA);
    EXPECT_EQ(out[1], 0xFFFF);
}

TEST(WriteImage, CallsAtDepth8WithHeightZero) {
    Recorder r;
    CodecContext ctx = r.context();
    ctx.width = 4;
    ctx.height = 0;
    ctx.depth = 8;
    writeImage(&ctx);
    EXPECT_EQ(r.calls, (Strings{"seek(0,0)", "write(48)", "write(768)"}));
    EXPECT_EQ(r.output.size(), 816u);
    EXPECT_EQ(Bytes(r.output.begin(), r.output.begin() + 12), (Bytes{0x51, 0x56, 1, 0, 48, 0, 8, 0, 0, 0, 0xFF, 0xFF}));
}

TEST(WriteImage, Depth32WithHeightZeroWritesTheHeaderTwice) {
    Recorder r;
    CodecContext ctx = r.context();
    ctx.width = 4;
    ctx.height = 0;
    ctx.depth = 32;
    writeImage(&ctx);
    EXPECT_EQ(r.calls, (Strings{"seek(0,0)", "write(48)", "seek(0,1)", "seek(0,0)", "write(48)", "seek(48,0)"}));
    EXPECT_EQ(r.output.size(), 48u);
    EXPECT_EQ(r.output[36], 48);  // auxOffset
}

TEST(WriteImage, Depth32CallOrder) {
    Recorder r;
    r.rowSource = [](int32_t kind, int32_t, int32_t w, uint8_t* b) {
        std::memset(b, kind == ROW_KIND_ALPHA ? 0x80 : 0x40, static_cast<size_t>(w) * (kind == ROW_KIND_RGB ? 3 : 1));
    };
    CodecContext ctx = r.context();
    ctx.width = 3;
    ctx.height = 1;
    ctx.depth = 32;
    writeImage(&ctx);
    // colour: one fill of three pixels, 4 bytes, so the alpha stream starts at 52
    EXPECT_EQ(r.framingCalls(),
              (Strings{"seek(0,0)", "write(48)", "getRows(kind=24,top=0,w=3,rb=24576)", "progress(1,1)", "seek(0,1)",
                       "seek(0,0)", "write(48)", "seek(52,0)", "getRows(kind=48,top=0,w=3,rb=8192)", "progress(1,1)"}));
    EXPECT_EQ(Bytes(r.output.begin() + 48, r.output.end()), (Bytes{0xFD, 0x00, 0x08, 0x42, 0x80, 0x80, 0x80}));
    EXPECT_EQ(r.output[36], 52);
}

TEST(WriteImage, NothingForAWidthTheRowBuffersCannotHold) {
    for (int32_t width : {8193, -1, -100}) {
        for (int32_t depth : {8, 24, 32}) {
            Recorder r;
            CodecContext ctx = r.context();
            ctx.width = width;
            ctx.height = 2;
            ctx.depth = depth;
            EXPECT_EQ(writeImage(&ctx), 1);
            EXPECT_TRUE(r.calls.empty()) << width << " at depth " << depth;
        }
    }
}

TEST(EstimateSize, FiguresAndOverflow) {
    CodecContext ctx{};
    auto estimate = [&ctx](int32_t w, int32_t h, int32_t depth) {
        ctx.width = w;
        ctx.height = h;
        ctx.depth = depth;
        estimateSize(&ctx);
        return std::pair{ctx.minBytes, ctx.maxBytes};
    };
    EXPECT_EQ(estimate(100, 100, 8), (std::pair{894, 20816}));
    EXPECT_EQ(estimate(100, 100, 24), (std::pair{87, 30048}));
    EXPECT_EQ(estimate(100, 100, 32), (std::pair{87, 30048}));
    EXPECT_EQ(estimate(640, 480, 8), (std::pair{3216, 615216}));
    EXPECT_EQ(estimate(32767, 32767, 8).second, 2 * 32767 * 32767 + 816);
    EXPECT_EQ(estimate(32767, 32767, 24).second, INT32_MAX);
}

TEST(Primitives, MeasuringAndPicking) {
    const uint8_t a[] = {1, 2, 3, 4, 5}, b[] = {1, 2, 3, 9, 5};
    EXPECT_EQ(matchLength(a, b, 5), 3);
    EXPECT_EQ(matchLength(a, a, 4), 4);
    EXPECT_EQ(matchLength(a, b, 0), 0);
    const uint8_t run[] = {7, 7, 7, 8};
    EXPECT_EQ(runLength8(run, 4), 3);
    EXPECT_EQ(runLength8(run, 0), 1);
    const uint8_t pairs[] = {1, 2, 1, 2, 1, 3};
    EXPECT_EQ(runLength16(pairs, 3), 2);
    EXPECT_EQ(runLength16(pairs + 1, 2), 2);  // unaligned start: (2,1) (2,1)
    EXPECT_EQ(runLength16(pairs + 2, 2), 1);
    EXPECT_EQ(runLength32(pairs, 1), 1);
}

// The measures work a word at a time; a byte-by-byte count must agree at
// every offset, cap and kind of run, including runs that end inside a word.
TEST(Primitives, WordwiseMeasuresAgreeWithByteByByteCounting) {
    std::vector<uint8_t> a(1400), b(1400);  // room for 300 four-byte units past offset 63
    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, static_cast<uint8_t>(seed >> 24); };
    for (int trial = 0; trial < 200; ++trial) {
        const uint8_t v = next();
        for (size_t i = 0; i < a.size(); ++i) a[i] = b[i] = (next() % 16 == 0) ? next() : v;
        const int32_t at = next() % 64, cap = next() % 300;
        int32_t match = 0;
        b[static_cast<size_t>(at + next() % 200)] ^= 1;
        while (match < cap && a[static_cast<size_t>(at + match)] == b[static_cast<size_t>(at + match)]) ++match;
        EXPECT_EQ(matchLength(&a[static_cast<size_t>(at)], &b[static_cast<size_t>(at)], cap), match);
        for (size_t unit : {size_t{1}, size_t{2}, size_t{4}}) {
            const uint8_t* p = &a[static_cast<size_t>(at)];
            int32_t run = 1;
            while (run < cap && std::memcmp(p + static_cast<size_t>(run) * unit, p, unit) == 0) ++run;
            const int32_t got = unit == 1 ? runLength8(p, cap) : unit == 2 ? runLength16(p, cap) : runLength32(p, cap);
            EXPECT_EQ(got, run) << "unit " << unit << " at " << at << " cap " << cap;
        }
    }
}

TEST(Primitives, PutByteAndPutWordReportFailedWrites) {
    Recorder r;
    CodecContext ctx = r.context();
    EXPECT_EQ(putWord(ctx.procs, 0x1234), 0x1234);
    EXPECT_EQ(r.output, (Bytes{0x34, 0x12}));
    ctx.procs.write = [](void*, const void*, int32_t) { return 0; };
    EXPECT_EQ(putByte(ctx.procs, 9), -1);
    EXPECT_EQ(putWord(ctx.procs, 9), -1);
}

}  // namespace
}  // namespace qvr::test
