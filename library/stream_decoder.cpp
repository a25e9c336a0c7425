#include "library/stream_decoder.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "library/checks.h"
#include "streams/memory_codec.h"
#include "streams/rgb_rows.h"

namespace qvr {

StreamDecoder::StreamDecoder(qvr_format format, const qvr_limits* limits, uint8_t* pixels, size_t stride,
                             qvr_row_callback callback, void* user)
    : format_(format),
      hasLimits_(limits != nullptr),
      pixels_(pixels),
      stride_(stride),
      callback_(callback),
      user_(user) {
    if (limits != nullptr) limits_ = *limits;
}

qvr_error StreamDecoder::fail(qvr_error error, qvr_plane plane, uint32_t row) {
    result_ = error;
    failedPlane_ = plane;
    failedRow_ = row;
    held_ = {};
    colourPlane_ = {};
    return error;
}

uint64_t StreamDecoder::keepFrom() const {
    switch (stage_) {
    case Stage::Header: return 0;
    case Stage::Palette:
        return palettePreset_ ? header_.dataOffset : std::min<uint64_t>(header_.auxOffset, header_.dataOffset);
    case Stage::FirstPlane: return hasAlpha_ ? std::min<uint64_t>(position_, header_.auxOffset) : position_;
    case Stage::AlphaPlane: return position_;
    case Stage::Done: break;
    }
    return UINT64_MAX;
}

uint64_t StreamDecoder::wanted() const {
    if (result_ != QVR_OK || stage_ == Stage::Done) return UINT64_MAX;
    return std::max(keepFrom(), received_);
}

// Bytes before the first one still needed go, in one move once they are
// at least half of what is held, so that a byte is moved about once.
void StreamDecoder::dropUnneeded() {
    const uint64_t keep = std::min(keepFrom(), heldEnd_);
    if (keep <= heldFrom()) return;
    const auto dead = static_cast<size_t>(keep - heldFrom());
    if (dead == held_.size())
        held_.clear();
    else if (2 * dead >= held_.size())
        held_.erase(held_.begin(), held_.begin() + static_cast<ptrdiff_t>(dead));
}

void StreamDecoder::skipTo(uint64_t offset) {
    if (offset <= received_) return;
    received_ = offset;
    const uint64_t end = std::min(offset, most_);
    if (end > heldEnd_) {  // what is held lies before the gap, and nothing needs it
        held_.clear();
        heldEnd_ = end;
    }
}

void StreamDecoder::presetPalette(const uint8_t* palette) {
    std::memcpy(palette_, palette, sizeof palette_);
    palettePreset_ = true;
}

qvr_error StreamDecoder::push(const uint8_t* bytes, size_t size) {
    if (result_ != QVR_OK) return result_;
    try {
        if (stage_ != Stage::Done) {
            const uint64_t from = received_, to = received_ + size;
            const uint64_t keep = std::max(from, keepFrom()), end = std::min(to, most_);
            if (keepFrom() >= heldEnd_) held_.clear();  // nothing held is needed
            if (keep < end) {
                // Held bytes end where these start: either none are held,
                // or none were skipped since the last push.
                if (held_.empty()) heldEnd_ = keep;
                held_.insert(held_.end(), bytes + (keep - from), bytes + (end - from));
            }
            heldEnd_ = std::max(heldEnd_, std::min(to, most_));
        }
        received_ += size;
        return advance(false);
    } catch (const std::bad_alloc&) {
        return fail(QVR_ERROR_OUT_OF_MEMORY);
    }
}

qvr_error StreamDecoder::finish() {
    if (result_ != QVR_OK) return result_;
    try {
        return advance(true);
    } catch (const std::bad_alloc&) {
        return fail(QVR_ERROR_OUT_OF_MEMORY);
    }
}

// Goes through the stages as far as the bytes held allow; with `ended`,
// every stage can finish (or fail) on what there is.
qvr_error StreamDecoder::advance(bool ended) {
    while (stage_ != Stage::Done) {
        const Stage before = stage_;
        qvr_error error = QVR_OK;
        switch (stage_) {
        case Stage::Header: error = readHeader(ended); break;
        case Stage::Palette: error = readPalette(ended); break;
        case Stage::FirstPlane:
        case Stage::AlphaPlane: error = decodeRows(ended); break;
        case Stage::Done: break;
        }
        if (error != QVR_OK) return error;
        if (stage_ == before) break;  // waiting for bytes
    }
    if (stage_ == Stage::Done)
        held_ = {};
    else
        dropUnneeded();
    return QVR_OK;
}

qvr_error StreamDecoder::readHeader(bool ended) {
    if (heldEnd_ < HEADER_BYTES) return ended ? fail(QVR_ERROR_NOT_QVR) : QVR_OK;
    qvr_info info;
    const qvr_error error = api::admit(held_.data(), held_.size(), format_, hasLimits_ ? &limits_ : nullptr, &info);
    if (error != QVR_OK) return fail(error);
    std::memcpy(&header_, held_.data(), sizeof header_);
    width_ = static_cast<int32_t>(info.width);
    height_ = static_cast<int32_t>(info.height);
    hasAlpha_ = info.kind == QVR_KIND_RGBA;
    chosen_ = format_ == QVR_FORMAT_AUTO ? api::nativeFormat(info.kind) : format_;
    most_ = fileSpan(header_).most;
    if (heldEnd_ > most_) {
        held_.resize(held_.size() - static_cast<size_t>(heldEnd_ - most_));
        heldEnd_ = most_;
    }
    if (!pixels_) rowOut_.resize(static_cast<size_t>(width_) * static_cast<size_t>(qvr_format_channels(chosen_)));
    if (header_.bitsPerPixel == 8) {
        stage_ = Stage::Palette;
        return QVR_OK;
    }
    paletteKnown_ = true;  // none to know
    return startPlane(Stage::FirstPlane, header_.dataOffset);
}

// As the whole-file decode reads it: a palette the file's end cuts short
// keeps zeros for the rest, and one that starts at or past the end is damage.
qvr_error StreamDecoder::readPalette(bool ended) {
    const uint64_t at = header_.auxOffset, end = at + PALETTE_BYTES;
    if (!palettePreset_) {
        if (heldEnd_ < end && !ended) return QVR_OK;
        if (at >= received_) return fail(QVR_ERROR_DAMAGED);
        const uint64_t there = std::min(end, heldEnd_) - at;
        std::memcpy(palette_, held_.data() + (at - heldFrom()), static_cast<size_t>(there));
    }
    forcePaletteWhite(palette_);
    paletteKnown_ = true;
    return startPlane(Stage::FirstPlane, header_.dataOffset);
}

// The first call of the callback: the header (and palette) are known.
qvr_error StreamDecoder::startPlane(Stage stage, uint64_t offset) {
    const bool first = stage == Stage::FirstPlane;
    stage_ = stage;
    position_ = offset;
    row_ = 0;
    if (header_.bitsPerPixel == 16 && first) {
        pixelRing_ = std::make_unique<ReaderPixelRing>();
        pixelRing_->clearFor(width_, COPY_REACH);
    } else {
        if (!bytes_) bytes_ = std::make_unique<ReaderByteRing>();
        bytes_->clearFor(width_, COPY_REACH);
    }
    return first ? report(nullptr, 0, 0) : QVR_OK;
}

void StreamDecoder::deliverIndexRow(uint8_t* out, const uint8_t* indices) const {
    const int32_t channels = qvr_format_channels(chosen_);
    if (channels == 1) {
        std::memcpy(out, indices, static_cast<size_t>(width_));
        return;
    }
    for (int32_t k = 0; k < width_; ++k) {
        std::memcpy(out + channels * k, palette_ + 3 * indices[k], 3);
        if (channels == 4) out[4 * k + 3] = 255;
    }
}

// Hands row `y` (null: progress alone) to the callback, with `done` plane
// rows decoded: the alpha plane's count after the colour plane's.
qvr_error StreamDecoder::report(const uint8_t* row, uint32_t y, uint32_t done) {
    if (!callback_) return QVR_OK;
    const auto height = static_cast<uint32_t>(height_);
    const qvr_row info{row, row ? y : 0, done, hasAlpha_ ? 2 * height : height};
    return callback_(user_, &info) != 0 ? fail(QVR_ERROR_CANCELLED) : QVR_OK;
}

qvr_error StreamDecoder::decodeRows(bool ended) {
    const bool alpha = stage_ == Stage::AlphaPlane;
    const bool colour = header_.bitsPerPixel == 16 && !alpha;
    const qvr_plane plane = alpha ? QVR_PLANE_ALPHA : colour ? QVR_PLANE_COLOUR : QVR_PLANE_INDICES;
    const uint64_t reach = rowReach(header_, alpha);
    const size_t channels = static_cast<size_t>(qvr_format_channels(chosen_));
    while (row_ < height_) {
        if (!ended && heldEnd_ < std::min(position_ + reach, most_)) return QVR_OK;
        // The held bytes from the row's start, read as the whole-file decode
        // reads the file: past the end a byte is missing and the row fails.
        const size_t from = position_ < heldEnd_ ? static_cast<size_t>(position_ - heldFrom()) : held_.size();
        MemoryReader in(held_.data() + from, held_.size() - from);
        const int32_t r = row_;
        const auto y = static_cast<uint32_t>(r);
        uint8_t* out = pixels_ ? pixels_ + y * stride_ : rowOut_.data();
        if (colour) {
            uint16_t* cur = pixelRing_->slot(r);
            if (decodeRow16(in, cur, pixelRing_->slot(r - 1), pixelRing_->slot(r - 2), width_) > width_ ||
                in.failure() != StreamFailure::None)
                return fail(QVR_ERROR_DAMAGED, plane, y);
            clearRowTail(cur, width_);
            position_ += in.position();
            if (hasAlpha_) {
                colourPlane_.insert(colourPlane_.end(), cur, cur + width_);  // grows with the rows there are
                out = nullptr;
            } else if (channels == 4) {
                widenRgbaRow(out, cur, width_);
            } else {
                widenRgbRow(out, cur, width_);
            }
        } else {
            uint8_t* cur = bytes_->slot(r);
            if (decodeRow8(in, cur, bytes_->slot(r - 1), bytes_->slot(r - 2), width_) > width_ ||
                in.failure() != StreamFailure::None)
                return fail(QVR_ERROR_DAMAGED, plane, y);
            position_ += in.position();
            if (alpha) {
                const uint16_t* pixels = colourPlane_.data() + y * static_cast<size_t>(width_);
                if (channels == 4) {
                    widenRgbaRow(out, pixels, width_);
                    alphaIntoRgba(out + 3, cur, width_);
                } else {
                    widenRgbRow(out, pixels, width_);
                }
            } else {
                deliverIndexRow(out, cur);
            }
        }
        ++row_;
        const qvr_error error = report(out, y, (alpha ? y + 1 + static_cast<uint32_t>(height_) : y + 1));
        if (error != QVR_OK) return error;
    }
    if (!alpha && hasAlpha_) return startPlane(Stage::AlphaPlane, header_.auxOffset);
    stage_ = Stage::Done;
    return QVR_OK;
}

}  // namespace qvr
