#pragma once
// Turns a page file's bytes, as they arrive, into the raw lines a front end
// reads: raw pages lose their line padding, JPEG pages are decoded by libjpeg
// (suspending whenever the bytes so far end mid-stream). Only whole lines are
// handed out. Pure: bytes in, bytes out.

#include <cstddef>
#include <cstdint>
#include <memory>

namespace ruvo_sane {

class PageDecoder {
public:
    enum class State {
        NeedInput, // nothing more can be produced without more bytes
        Done,      // the page is whole
        Failed,    // the bytes are not a page of the expected shape
    };
    virtual ~PageDecoder() = default;
    // More of the page file. Callers feed only while the state is NeedInput.
    virtual void feed(const uint8_t *bytes, size_t length) = 0;
    // The page file is complete: no more bytes will come.
    virtual void finishInput() = 0;
    // Writes up to `capacity` bytes of lines; 0 when none can be produced now.
    virtual size_t produce(uint8_t *out, size_t capacity) = 0;
    virtual State state() const = 0;
    virtual int64_t linesDone() const = 0;
};

// `lineBytes` bytes of each `stride`-byte line; `lines` lines, or -1 when the
// page is as long as its bytes (a feeder page).
std::unique_ptr<PageDecoder> MakeRawDecoder(size_t lineBytes, size_t stride, int64_t lines);
// A JPEG stream `width` pixels wide with 1 (grey) or 3 (colour) components;
// `lines` high, or -1 for any height up to `maxLines` (the sheet length of a
// feeder page). libjpeg gets at most kJpegMemoryLimit: a progressive page,
// whose whole coefficient buffer libjpeg keeps, fails beyond it instead of
// taking the front end's memory.
inline constexpr long kJpegMemoryLimit = 32L * 1024 * 1024;
std::unique_ptr<PageDecoder> MakeJpegDecoder(uint32_t width, int components, int64_t lines, int64_t maxLines);

} // namespace ruvo_sane
