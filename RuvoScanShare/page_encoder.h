#pragma once
// Encodes a page band by band into JPEG (libjpeg), PNG (libpng) or a PDF
// holding a JPEG image: lines go
// in as they are scanned, encoded bytes come out to be sent at once, so a
// page is never held whole.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ruvo_share {

class PageEncoder {
public:
    virtual ~PageEncoder() = default;
    // `count` lines of width * components bytes each.
    virtual bool write(const uint8_t *lines, int count) = 0;
    // After the last line: the format's trailer.
    virtual bool finish() = 0;
    // Encoded bytes not yet taken; take() empties it.
    std::vector<uint8_t> &output() { return m_output; }

protected:
    std::vector<uint8_t> m_output;
};

// "image/jpeg", "image/png" or "application/pdf"; nullptr for any other format.
std::unique_ptr<PageEncoder> MakePageEncoder(const std::string &format, uint32_t width, uint32_t height,
                                             int components, int resolution);

} // namespace ruvo_share
