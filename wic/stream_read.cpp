#include "wic/stream_read.h"

#include <wincodec.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <utility>
#include <stdexcept>

namespace qvr::wic {
namespace {

// [start, end) of the stream; `at` is where it lies in QvrBytes::bytes.
struct Stretch {
    uint64_t start;
    uint64_t end;
    uint64_t at;
};

HRESULT seekTo(IStream* stream, uint64_t position, uint64_t* reached = nullptr) {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(position);
    ULARGE_INTEGER now{};
    const HRESULT hr = stream->Seek(to, STREAM_SEEK_SET, &now);
    if (reached) *reached = now.QuadPart;
    return hr;
}

// Up to `count` bytes; `got` tells how many came before the stream ended.
HRESULT readUpTo(IStream* stream, uint8_t* into, uint64_t count, uint64_t& got) {
    got = 0;
    while (got < count) {
        const ULONG ask = static_cast<ULONG>(std::min<uint64_t>(count - got, 1u << 30));
        ULONG n = 0;
        const HRESULT hr = stream->Read(into + got, ask, &n);
        if (FAILED(hr)) return hr;
        got += n;
        if (n == 0) break;
    }
    return S_OK;
}

}  // namespace

HRESULT readQvrStream(IStream* stream, QvrBytes& out) try {
    HRESULT hr = seekTo(stream, 0);
    if (FAILED(hr)) return hr;
    uint64_t got = 0;
    FileHeader& header = out.header;
    hr = readUpTo(stream, reinterpret_cast<uint8_t*>(&header), HEADER_BYTES, got);
    if (FAILED(hr)) return hr;
    if (got < HEADER_BYTES || !headerValid(header)) return WINCODEC_ERR_BADHEADER;
    // A stream that cannot tell its length is read until it ends.
    LARGE_INTEGER zero{};
    ULARGE_INTEGER end{};
    end.QuadPart = UINT64_MAX;
    if (FAILED(stream->Seek(zero, STREAM_SEEK_END, &end))) end.QuadPart = UINT64_MAX;
    const uint64_t length = std::max<uint64_t>(end.QuadPart, HEADER_BYTES);

    // The header, the first plane, and the palette or the alpha plane.
    FileHeader moved = header;
    uint32_t* offsets[2] = {&moved.dataOffset, &moved.auxOffset};
    const uint64_t reach[2] = {planeReach(header, false),
                               header.bitsPerPixel == 8 ? uint64_t{PALETTE_BYTES} : planeReach(header, true)};
    const int wanted = header.bitsPerPixel == 16 && header.auxOffset == 0 ? 1 : 2;
    Stretch stretches[3] = {{0, HEADER_BYTES, 0}};
    for (int i = 0; i < wanted; ++i) {
        const uint64_t start = *offsets[i];
        // The codec seeks with 32-bit signed offsets; data at or past the end is missing data.
        if (start > INT32_MAX || start >= length) return WINCODEC_ERR_BADIMAGE;
        stretches[i + 1] = {start, std::min(start + reach[i], length), 0};
    }
    // In file order, overlapping or touching stretches joined, laid end to end.
    for (int i = 1; i <= wanted; ++i)
        for (int j = i; j > 0 && stretches[j].start < stretches[j - 1].start; --j) std::swap(stretches[j], stretches[j - 1]);
    int runs = 0;
    for (int i = 0; i <= wanted; ++i) {
        if (runs > 0 && stretches[i].start <= stretches[runs - 1].end)
            stretches[runs - 1].end = std::max(stretches[runs - 1].end, stretches[i].end);
        else stretches[runs++] = stretches[i];
    }
    uint64_t total = 0;
    for (int i = 0; i < runs; ++i) {
        stretches[i].at = total;
        total += stretches[i].end - stretches[i].start;
    }
    // Read in growing chunks, so that memory follows the bytes that are
    // there; a stream that ends before its claimed length ends there for the
    // decoder too.
    uint64_t filled = 0;
    for (int i = 0; i < runs && filled == stretches[i].at; ++i) {
        uint64_t reached = 0;
        hr = seekTo(stream, stretches[i].start, &reached);
        if (FAILED(hr)) return hr;
        if (reached != stretches[i].start) break;
        for (uint64_t left = stretches[i].end - stretches[i].start; left > 0;) {
            const uint64_t chunk = std::min(left, std::max<uint64_t>(filled, 1u << 16));
            out.bytes.resize(static_cast<size_t>(filled + chunk));
            hr = readUpTo(stream, out.bytes.data() + filled, chunk, got);
            if (FAILED(hr)) return hr;
            filled += got;
            left = got < chunk ? 0 : left - chunk;
        }
    }
    out.bytes.resize(static_cast<size_t>(filled));
    if (filled < HEADER_BYTES) return WINCODEC_ERR_BADHEADER;  // the stream changed under us

    bool offsetsMoved = false;
    bool readsOffsets = false;  // a plane or the palette starts among the header's offsets
    for (int i = 0; i < wanted; ++i) {
        const uint64_t start = *offsets[i];
        const Stretch* run = stretches;
        while (start >= run->end) ++run;
        *offsets[i] = static_cast<uint32_t>(std::min(run->at + (start - run->start), filled));
        offsetsMoved = offsetsMoved || *offsets[i] != start;
        readsOffsets = readsOffsets || start < offsetof(FileHeader, auxOffset) + sizeof header.auxOffset;
    }
    // Moving the offsets would change what such a plane reads; only a file
    // laid out to mislead comes here.
    if (offsetsMoved && readsOffsets) return WINCODEC_ERR_BADIMAGE;
    std::memcpy(out.bytes.data(), &moved, HEADER_BYTES);
    return S_OK;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
} catch (const std::length_error&) {
    return E_OUTOFMEMORY;
}

}  // namespace qvr::wic
