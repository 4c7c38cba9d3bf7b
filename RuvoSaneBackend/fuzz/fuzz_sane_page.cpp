// A page file's bytes, raw or JPEG, of the shape the first bytes choose.
#include "page_decoder.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 5)
        return 0;
    uint32_t width = 1 + (data[0] | (data[1] & 0x03) << 8);
    bool jpeg = data[2] & 1;
    int components = (data[2] & 2) ? 3 : 1;
    int64_t lines = (data[2] & 4) ? -1 : 1 + data[3];
    size_t piece = 1 + (data[3] & 0x3F) * 17;
    size_t padding = data[4] & 7;
    data += 4;
    size = size - 4;
    size_t lineBytes = width * static_cast<size_t>(components);
    auto decoder = jpeg ? ruvo_sane::MakeJpegDecoder(width, components, lines, 2000)
                        : ruvo_sane::MakeRawDecoder(lineBytes, lineBytes + padding, lines);
    std::vector<uint8_t> out(1000);
    size_t fed = 0, produced = 0;
    for (int guard = 0; guard < 100000; ++guard) {
        size_t got = decoder->produce(out.data(), out.size());
        produced += got;
        if (got > 0)
            continue;
        if (decoder->state() != ruvo_sane::PageDecoder::State::NeedInput)
            break;
        if (fed < size) {
            size_t count = std::min(piece, size - fed);
            decoder->feed(data + fed, count);
            fed += count;
        } else {
            decoder->finishInput();
        }
    }
    // Never more than the lines asked for.
    if (lines >= 0 && produced > lineBytes * static_cast<size_t>(lines))
        std::abort();
    return 0;
}
