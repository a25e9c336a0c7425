// The engine of the C API's streaming decoder: file bytes go in as they
// come, rows come out top to bottom in the caller's layout, to the caller's
// buffer and callback. It decodes a row only once it holds every byte the
// row can use (rowReach(), or the file's end), so its rows are exactly the
// whole-file decode's. It holds the bytes it has not used yet, from the
// earliest offset still needed (the palette, the alpha stream or the current
// plane position, wherever each lies), never more than the header's span, and
// for a file with an alpha plane the colour plane until the alpha rows come.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "codec/format.h"
#include "codec/internal/line_decoder.h"
#include "qvr/qvr.h"

namespace qvr {

class StreamDecoder {
public:
    // `pixels` (rows `stride` bytes apart) and `callback` may each be null;
    // `limits` is copied.
    StreamDecoder(qvr_format format, const qvr_limits* limits, uint8_t* pixels, size_t stride,
                  qvr_row_callback callback, void* user);
    StreamDecoder(const StreamDecoder&) = delete;
    StreamDecoder& operator=(const StreamDecoder&) = delete;

    // The file's next `size` bytes: QVR_OK asks for more; any other code is
    // the decode's result, returned again by every later call.
    qvr_error push(const uint8_t* bytes, size_t size);
    // No more bytes: QVR_OK once every row went out, else the reason.
    qvr_error finish();
    // The caller will not give the bytes before `offset` (nothing needs them:
    // see wanted()); the next push starts there.
    void skipTo(uint64_t offset);
    // An indexed file's palette, as the caller read it from the file (at
    // least its first byte), so that the bytes before it need not be read.
    void presetPalette(const uint8_t* palette);

    // The first offset whose bytes the decoder still needs, at or past what
    // it has received; UINT64_MAX once it needs none.
    uint64_t wanted() const;
    bool headerKnown() const { return stage_ != Stage::Header; }
    const FileHeader& header() const { return header_; }
    const uint8_t* palette() const { return palette_; }
    bool paletteKnown() const { return paletteKnown_; }
    qvr_plane failedPlane() const { return failedPlane_; }
    uint32_t failedRow() const { return failedRow_; }

private:
    enum class Stage { Header, Palette, FirstPlane, AlphaPlane, Done };

    qvr_error advance(bool ended);
    qvr_error readHeader(bool ended);
    qvr_error readPalette(bool ended);
    qvr_error decodeRows(bool ended);
    qvr_error startPlane(Stage stage, uint64_t offset);
    qvr_error fail(qvr_error error, qvr_plane plane = QVR_PLANE_NONE, uint32_t row = 0);
    qvr_error report(const uint8_t* row, uint32_t y, uint32_t done);
    void deliverIndexRow(uint8_t* out, const uint8_t* indices) const;
    uint64_t keepFrom() const;
    uint64_t heldFrom() const { return heldEnd_ - held_.size(); }
    void dropUnneeded();

    // What the caller asked for.
    qvr_format format_;
    qvr_limits limits_{};
    bool hasLimits_;
    uint8_t* pixels_;
    size_t stride_;
    qvr_row_callback callback_;
    void* user_;

    Stage stage_ = Stage::Header;
    qvr_error result_ = QVR_OK;
    qvr_plane failedPlane_ = QVR_PLANE_NONE;
    uint32_t failedRow_ = 0;

    FileHeader header_{};
    qvr_format chosen_ = QVR_FORMAT_AUTO;
    int32_t width_ = 0;
    int32_t height_ = 0;
    bool hasAlpha_ = false;
    uint64_t most_ = UINT64_MAX;  // no byte at or past it is ever used
    uint8_t palette_[768] = {};
    bool paletteKnown_ = false;
    bool palettePreset_ = false;

    // The file's bytes [heldEnd_ - held_.size(), heldEnd_); heldEnd_ is what
    // has been received, at most most_.
    std::vector<uint8_t> held_;
    uint64_t heldEnd_ = 0;
    uint64_t received_ = 0;

    // The plane being decoded: its next byte, its next row, its ring.
    uint64_t position_ = 0;
    int32_t row_ = 0;
    std::unique_ptr<ReaderByteRing> bytes_;
    std::unique_ptr<ReaderPixelRing> pixelRing_;
    std::vector<uint16_t> colourPlane_;  // a file with alpha: 5-6-5 rows until their alpha comes
    std::vector<uint8_t> rowOut_;        // a row in the caller's layout, without a buffer of the caller's
};

}  // namespace qvr
