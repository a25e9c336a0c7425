// The streaming decoder: pulled through a reader or pushed in pieces, it
// gives what qvr_decode_memory gives, for the samples, their planes in
// other orders and damaged copies; it reads within the header's span,
// stops when asked, and says where a damaged file failed.
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qvr/qvr.h"
#include "tests/test_support.h"

namespace qvr::test {
namespace {

Bytes readSample(const std::string& name) {
    std::ifstream in(std::string(QVR_SAMPLES_DIR) + "/" + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

uint32_t get32(const Bytes& file, size_t at) {
    uint32_t v;
    std::memcpy(&v, &file[at], 4);
    return v;
}
void set32(Bytes& file, size_t at, uint32_t v) { std::memcpy(&file[at], &v, 4); }

// The samples, then each with its streams moved: the alpha stream before the
// colour stream, and the palette after the indices behind a gap.
struct Case {
    std::string name;
    Bytes file;
};
std::vector<Case> wholeFiles() {
    std::vector<Case> cases;
    for (const char* name : {"sunset-indexed.qvr", "tiles-rgb.qvr", "badge-rgba.qvr"})
        cases.push_back({name, readSample(name)});
    const Bytes rgba = readSample("badge-rgba.qvr");
    const uint32_t aux = get32(rgba, 36);
    Bytes alphaFirst(rgba.begin(), rgba.begin() + 48);
    alphaFirst.insert(alphaFirst.end(), rgba.begin() + aux, rgba.end());
    alphaFirst.insert(alphaFirst.end(), rgba.begin() + 48, rgba.begin() + aux);
    set32(alphaFirst, 32, static_cast<uint32_t>(48 + rgba.size() - aux));
    set32(alphaFirst, 36, 48);
    cases.push_back({"alpha first", alphaFirst});
    const Bytes indexed = readSample("sunset-indexed.qvr");
    Bytes paletteLast(indexed.begin(), indexed.begin() + 48);
    paletteLast.insert(paletteLast.end(), indexed.begin() + 816, indexed.end());
    paletteLast.resize(paletteLast.size() + 100, 0xEE);
    set32(paletteLast, 32, 48);
    set32(paletteLast, 36, static_cast<uint32_t>(paletteLast.size()));
    paletteLast.insert(paletteLast.end(), indexed.begin() + 48, indexed.begin() + 816);
    cases.push_back({"palette last", paletteLast});
    return cases;
}

// The whole files, and copies cut short or with a byte changed.
std::vector<Case> allFiles(size_t cutStep, size_t changeStep) {
    std::vector<Case> cases = wholeFiles();
    for (const Case& whole : wholeFiles()) {
        for (size_t size = 0; size < whole.file.size(); size += size < 64 ? 7 : cutStep)
            cases.push_back({whole.name + " cut at " + std::to_string(size),
                             Bytes(whole.file.begin(), whole.file.begin() + static_cast<ptrdiff_t>(size))});
        for (size_t at = 40; at < whole.file.size(); at += changeStep) {
            Bytes changed = whole.file;
            changed[at] ^= 0x5A;
            cases.push_back({whole.name + " byte " + std::to_string(at), changed});
        }
    }
    return cases;
}

const qvr_format FORMATS[] = {QVR_FORMAT_AUTO, QVR_FORMAT_INDEXED, QVR_FORMAT_RGB, QVR_FORMAT_RGBA};

// A file in memory behind the reader's procedures, counting calls and the
// furthest byte read; it can fail a read at a given call.
struct MemoryReader {
    const Bytes* file;
    bool knowsSize = true;
    int failReadAt = -1;  // the read call that fails
    bool failSeek = false;
    uint64_t position = 0;
    uint64_t furthest = 0;
    uint64_t bytesRead = 0;
    int reads = 0;

    qvr_reader reader() {
        return {this,
                [](void* user, void* buffer, size_t size) -> int64_t {
                    auto& self = *static_cast<MemoryReader*>(user);
                    if (self.reads++ == self.failReadAt) return -1;
                    const uint64_t left = self.position < self.file->size() ? self.file->size() - self.position : 0;
                    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, size));
                    if (n != 0) std::memcpy(buffer, self.file->data() + self.position, n);
                    self.position += n;
                    self.bytesRead += n;
                    self.furthest = std::max(self.furthest, self.position);
                    return static_cast<int64_t>(n);
                },
                [](void* user, uint64_t offset) {
                    auto& self = *static_cast<MemoryReader*>(user);
                    if (self.failSeek) return -1;
                    self.position = offset;
                    return 0;
                },
                knowsSize
                    ? +[](void* user) { return static_cast<int64_t>(static_cast<MemoryReader*>(user)->file->size()); }
                    : nullptr};
    }
};

// What a decode handed over: rows in order, progress, and the result.
struct Rows {
    qvr_format format = QVR_FORMAT_AUTO;
    size_t rowBytes = 0;
    Bytes pixels;       // the rows, one after another
    uint32_t next = 0;  // the row expected next
    uint32_t calls = 0;
    uint32_t lastDone = 0;
    uint32_t cancelAt = UINT32_MAX;  // the call that returns non-zero
    bool inOrder = true;
    qvr_decoder* decoder = nullptr;

    static int take(void* user, const qvr_row* row) {
        auto& self = *static_cast<Rows*>(user);
        if (self.calls == 0 && self.decoder != nullptr) {  // the header is known by the first call
            qvr_info info;
            EXPECT_EQ(qvr_decoder_info(self.decoder, &info, nullptr), QVR_OK);
            const qvr_format chosen = self.format != QVR_FORMAT_AUTO  ? self.format
                                      : info.kind == QVR_KIND_INDEXED ? QVR_FORMAT_INDEXED
                                      : info.kind == QVR_KIND_RGB     ? QVR_FORMAT_RGB
                                                                      : QVR_FORMAT_RGBA;
            self.rowBytes = info.width * static_cast<size_t>(qvr_format_channels(chosen));
        }
        self.inOrder = self.inOrder && row->done >= self.lastDone && row->done <= row->total;
        self.lastDone = row->done;
        if (row->pixels != nullptr) {
            self.inOrder = self.inOrder && row->y == self.next++;
            self.pixels.insert(self.pixels.end(), row->pixels, row->pixels + self.rowBytes);
        }
        return self.calls++ == self.cancelAt;
    }
};

struct Whole {
    qvr_image image{};
    qvr_error error;
    Whole(const Bytes& file, qvr_format format)
        : error(qvr_decode_memory(file.data(), file.size(), format, nullptr, &image)) {}
    ~Whole() { qvr_free(image.pixels); }
    Bytes pixels() const {
        return Bytes(image.pixels, image.pixels + size_t{image.width} * image.height *
                                                      static_cast<size_t>(qvr_format_channels(image.format)));
    }
};

qvr_error pushInPieces(const Bytes& file, qvr_format format, size_t piece, Rows& rows) {
    rows.format = format;
    qvr_decoder* decoder = nullptr;
    EXPECT_EQ(qvr_decoder_new_push(format, nullptr, &Rows::take, &rows, &decoder), QVR_OK);
    rows.decoder = decoder;
    qvr_error error = QVR_OK;
    for (size_t at = 0; at < file.size() && error == QVR_OK; at += piece)
        error = qvr_decoder_push(decoder, file.data() + at, std::min(piece, file.size() - at));
    if (error == QVR_OK) error = qvr_decoder_finish(decoder);
    const uint8_t more = 0;
    EXPECT_EQ(qvr_decoder_push(decoder, &more, 1), error);  // the result stands
    qvr_decoder_free(decoder);
    return error;
}

TEST(QvrStream, PullGivesTheWholeFileDecodeIntoAnyStride) {
    for (const Case& c : wholeFiles()) EXPECT_EQ(Whole(c.file, QVR_FORMAT_RGBA).error, QVR_OK) << c.name;
    for (const Case& c : allFiles(211, 97)) {
        for (qvr_format format : FORMATS) {
            for (bool knowsSize : {true, false}) {
                SCOPED_TRACE(c.name + " format " + std::to_string(format) + (knowsSize ? " sized" : ""));
                const Whole whole(c.file, format);
                MemoryReader source{&c.file, knowsSize};
                const qvr_reader reader = source.reader();
                qvr_decoder* decoder = nullptr;
                const qvr_error opened = qvr_decoder_new(&reader, nullptr, &decoder);
                if (opened != QVR_OK) {
                    EXPECT_EQ(opened, whole.error);
                    EXPECT_EQ(decoder, nullptr);
                    continue;
                }
                qvr_info info;
                ASSERT_EQ(qvr_decoder_info(decoder, &info, nullptr), QVR_OK);
                const size_t rowBytes = size_t{info.width} * 4, stride = rowBytes + 13;
                Bytes buffer(stride * info.height, 0xCD);
                Rows rows;
                rows.format = format;
                rows.decoder = decoder;
                const qvr_error error = qvr_decoder_read(decoder, format, buffer.data(), stride, &Rows::take, &rows);
                if (error != QVR_ERROR_CONVERSION) {  // a refused layout leaves the decoder unused
                    EXPECT_EQ(qvr_decoder_read(decoder, format, buffer.data(), stride, nullptr, nullptr),
                              QVR_ERROR_INVALID_ARGUMENT);  // once only
                }
                qvr_decoder_free(decoder);
                EXPECT_EQ(error, whole.error);
                EXPECT_TRUE(rows.inOrder);
                if (error != QVR_OK || whole.error != QVR_OK) continue;
                EXPECT_EQ(rows.pixels, whole.pixels());
                const size_t used = rows.rowBytes;
                for (uint32_t y = 0; y < info.height; ++y) {
                    const uint8_t* row = buffer.data() + y * stride;
                    ASSERT_EQ(Bytes(row, row + used),
                              Bytes(rows.pixels.begin() + static_cast<ptrdiff_t>(y * used),
                                    rows.pixels.begin() + static_cast<ptrdiff_t>((y + 1) * used)));
                    ASSERT_EQ(Bytes(row + used, row + stride), Bytes(stride - used, 0xCD)) << "row " << y;
                }
            }
        }
    }
}

TEST(QvrStream, PushInPiecesOfEverySizeGivesTheWholeFileDecode) {
    for (const Case& c : allFiles(401, 211)) {
        const size_t size = c.file.size();
        for (qvr_format format : FORMATS) {
            const Whole whole(c.file, format);
            for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{48}, size_t{49}, size_t{255},
                                 size_t{1000}, size / 3 + 1, size + 1}) {
                SCOPED_TRACE(c.name + " format " + std::to_string(format) + " pieces of " + std::to_string(piece));
                Rows rows;
                EXPECT_EQ(pushInPieces(c.file, format, piece, rows), whole.error);
                EXPECT_TRUE(rows.inOrder);
                if (whole.error == QVR_OK) {
                    EXPECT_EQ(rows.pixels, whole.pixels());
                }
            }
        }
    }
}

TEST(QvrStream, CancellingAtAnyCallStopsThereAndLeaksNothing) {
    for (const Case& c : wholeFiles()) {
        const Whole whole(c.file, QVR_FORMAT_RGBA);
        const uint32_t height = whole.image.height;
        const bool alpha = c.file[6] == 16 && get32(c.file, 36) != 0;
        const uint32_t calls = 1 + height * (alpha ? 2 : 1);
        for (uint32_t at : {0u, 1u, calls / 2, calls - 1}) {
            SCOPED_TRACE(c.name + " cancel at call " + std::to_string(at));
            Rows pushed;
            pushed.cancelAt = at;
            EXPECT_EQ(pushInPieces(c.file, QVR_FORMAT_RGBA, 100, pushed), QVR_ERROR_CANCELLED);
            EXPECT_EQ(pushed.calls, at + 1);
            Rows pulled;
            pulled.cancelAt = at;
            MemoryReader source{&c.file};
            const qvr_reader reader = source.reader();
            qvr_decoder* decoder = nullptr;
            ASSERT_EQ(qvr_decoder_new(&reader, nullptr, &decoder), QVR_OK);
            pulled.decoder = decoder;
            EXPECT_EQ(qvr_decoder_read(decoder, QVR_FORMAT_RGBA, nullptr, 0, &Rows::take, &pulled),
                      QVR_ERROR_CANCELLED);
            EXPECT_EQ(pulled.calls, at + 1);
            qvr_decoder_free(decoder);
        }
    }
}

// Rows of four samples or pixels, each one fill; `bad` runs one past the width.
Bytes fillRows(int rows, int bad, bool colour) {
    Bytes stream;
    for (int r = 0; r < rows; ++r) {
        const uint8_t count = static_cast<uint8_t>((colour ? 1 : 0) + (r == bad ? 1 : 0));
        stream.insert(stream.end(), {0xFD, count, static_cast<uint8_t>(r)});
        if (colour) stream.push_back(0x12);
    }
    return stream;
}

qvr_error pullAll(const Bytes& file, qvr_decoder** decoder) {
    MemoryReader source{&file};
    const qvr_reader reader = source.reader();
    qvr_error error = qvr_decoder_new(&reader, nullptr, decoder);
    Bytes pixels(4 * 4 * 8);
    if (error == QVR_OK) error = qvr_decoder_read(*decoder, QVR_FORMAT_RGBA, pixels.data(), 16, nullptr, nullptr);
    return error;
}

TEST(QvrStream, ADamagedFileSaysItsPlaneAndRow) {
    Bytes cut = colourFile(4, 8, fillRows(8, -1, true));
    cut.resize(48 + 2 * 4 + 2);  // inside row 2
    Bytes paletteOutside = indexedFile(4, 4, fillRows(4, -1, false));
    set32(paletteOutside, 36, static_cast<uint32_t>(paletteOutside.size()));
    const struct {
        const char* what;
        Bytes file;
        qvr_plane plane;
        uint32_t row;
    } cases[] = {
        {"indices", indexedFile(4, 6, fillRows(6, 3, false)), QVR_PLANE_INDICES, 3},
        {"colour", colourFile(4, 8, fillRows(8, 5, true)), QVR_PLANE_COLOUR, 5},
        {"alpha", colourFile(4, 4, fillRows(4, -1, true), fillRows(4, 2, false)), QVR_PLANE_ALPHA, 2},
        {"cut short", cut, QVR_PLANE_COLOUR, 2},
        {"palette past the end", paletteOutside, QVR_PLANE_NONE, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        qvr_decoder* decoder = nullptr;
        EXPECT_EQ(pullAll(c.file, &decoder), QVR_ERROR_DAMAGED);
        qvr_plane plane = QVR_PLANE_INDICES;
        uint32_t row = 99;
        EXPECT_EQ(qvr_decoder_failure(decoder, &plane, &row), QVR_OK);
        EXPECT_EQ(plane, c.plane);
        EXPECT_EQ(row, c.row);
        qvr_decoder_free(decoder);

        Rows rows;
        ASSERT_EQ(qvr_decoder_new_push(QVR_FORMAT_RGBA, nullptr, &Rows::take, &rows, &decoder), QVR_OK);
        qvr_error error = qvr_decoder_push(decoder, c.file.data(), c.file.size());
        if (error == QVR_OK) error = qvr_decoder_finish(decoder);
        EXPECT_EQ(error, QVR_ERROR_DAMAGED);
        EXPECT_EQ(qvr_decoder_failure(decoder, &plane, &row), QVR_OK);
        EXPECT_EQ(plane, c.plane);
        EXPECT_EQ(row, c.row);
        qvr_decoder_free(decoder);
    }
}

// A file padded far past its span, and one whose palette lies behind a gap
// of 4 MiB: the pull reads in chunks, none past the span, and not the gap.
TEST(QvrStream, PullReadsInChunksWithinTheSpanAndSeeksOverGaps) {
    Bytes padded = readSample("tiles-rgb.qvr");
    const Whole tiles(padded, QVR_FORMAT_RGB);
    padded.resize(padded.size() + (4u << 20), 0);
    const Bytes indexed = readSample("sunset-indexed.qvr");
    const Whole sunset(indexed, QVR_FORMAT_RGB);
    Bytes gapped(indexed.begin(), indexed.begin() + 48);
    gapped.insert(gapped.end(), indexed.begin() + 816, indexed.end());
    gapped.resize(gapped.size() + (4u << 20), 0);
    set32(gapped, 32, 48);
    set32(gapped, 36, static_cast<uint32_t>(gapped.size()));
    gapped.insert(gapped.end(), indexed.begin() + 48, indexed.begin() + 816);
    const struct {
        const char* what;
        const Bytes& file;
        const Whole& whole;
    } cases[] = {{"padded", padded, tiles}, {"palette behind a gap", gapped, sunset}};
    for (const auto& c : cases) {
        uint64_t least = 0, most = 0;
        ASSERT_EQ(qvr_file_span(c.file.data(), c.file.size(), &least, &most), QVR_OK);
        for (bool knowsSize : {true, false}) {
            SCOPED_TRACE(std::string(c.what) + (knowsSize ? " sized" : ""));
            MemoryReader source{&c.file, knowsSize};
            const qvr_reader reader = source.reader();
            qvr_decoder* decoder = nullptr;
            ASSERT_EQ(qvr_decoder_new(&reader, nullptr, &decoder), QVR_OK);
            Bytes pixels(c.whole.pixels().size());
            EXPECT_EQ(
                qvr_decoder_read(decoder, QVR_FORMAT_RGB, pixels.data(), 3 * c.whole.image.width, nullptr, nullptr),
                QVR_OK);
            qvr_decoder_free(decoder);
            EXPECT_EQ(pixels, c.whole.pixels());
            EXPECT_LE(source.furthest, most);
            EXPECT_LT(source.bytesRead, 1u << 20);
            EXPECT_LE(source.reads, 8);
        }
    }
}

TEST(QvrStream, AFailingReaderIsAReadErrorAndArgumentsAreChecked) {
    const Bytes file = readSample("badge-rgba.qvr");
    for (int failAt : {0, 1, 2}) {  // the header, the first chunk, the next
        SCOPED_TRACE(failAt);
        MemoryReader source{&file, false};
        source.failReadAt = failAt;
        const qvr_reader reader = source.reader();
        qvr_decoder* decoder = nullptr;
        qvr_error error = qvr_decoder_new(&reader, nullptr, &decoder);
        Rows rows;
        if (error == QVR_OK) error = qvr_decoder_read(decoder, QVR_FORMAT_RGBA, nullptr, 0, &Rows::take, &rows);
        EXPECT_EQ(error, QVR_ERROR_READ);
        qvr_decoder_free(decoder);
    }
    MemoryReader unseekable{&file};
    unseekable.failSeek = true;
    const qvr_reader noSeek = unseekable.reader();
    qvr_decoder* decoder = nullptr;
    EXPECT_EQ(qvr_decoder_new(&noSeek, nullptr, &decoder), QVR_ERROR_READ);
    EXPECT_EQ(decoder, nullptr);

    MemoryReader source{&file};
    const qvr_reader reader = source.reader();
    ASSERT_EQ(qvr_decoder_new(&reader, nullptr, &decoder), QVR_OK);
    qvr_info info;
    ASSERT_EQ(qvr_decoder_info(decoder, &info, nullptr), QVR_OK);
    Bytes pixels(size_t{info.width} * info.height * 4);
    EXPECT_EQ(qvr_decoder_read(decoder, QVR_FORMAT_RGBA, pixels.data(), 4 * info.width - 1, nullptr, nullptr),
              QVR_ERROR_INVALID_ARGUMENT);  // a stride short of a row
    EXPECT_EQ(qvr_decoder_read(decoder, QVR_FORMAT_RGBA, nullptr, 0, nullptr, nullptr), QVR_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(qvr_decoder_push(decoder, file.data(), 1), QVR_ERROR_INVALID_ARGUMENT);  // not a push decoder
    EXPECT_EQ(qvr_decoder_read(decoder, QVR_FORMAT_RGBA, pixels.data(), 4 * info.width, nullptr, nullptr), QVR_OK);
    qvr_decoder_free(decoder);

    Rows rows;
    EXPECT_EQ(qvr_decoder_new_push(QVR_FORMAT_RGBA, nullptr, nullptr, nullptr, &decoder), QVR_ERROR_INVALID_ARGUMENT);
    ASSERT_EQ(qvr_decoder_new_push(QVR_FORMAT_RGBA, nullptr, &Rows::take, &rows, &decoder), QVR_OK);
    EXPECT_EQ(qvr_decoder_push(decoder, file.data(), 47), QVR_OK);
    EXPECT_EQ(qvr_decoder_info(decoder, &info, nullptr), QVR_ERROR_INVALID_ARGUMENT);  // no header yet
    EXPECT_EQ(qvr_decoder_finish(decoder), QVR_ERROR_NOT_QVR);
    qvr_decoder_free(decoder);
}

}  // namespace
}  // namespace qvr::test
