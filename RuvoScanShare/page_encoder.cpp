#include "page_encoder.h"

#include <csetjmp>
#include <cstdio>
#include <string>
#include <jpeglib.h>
#include <png.h>

namespace ruvo_share {

namespace {

constexpr size_t kChunk = 16 * 1024;

class JpegEncoder : public PageEncoder {
public:
    JpegEncoder(uint32_t width, uint32_t height, int components, int resolution)
    {
        m_info.err = jpeg_std_error(&m_errors.manager);
        m_errors.manager.error_exit = [](j_common_ptr info) {
            longjmp(reinterpret_cast<Errors *>(info->err)->jump, 1);
        };
        m_errors.manager.output_message = [](j_common_ptr) {};
        if (setjmp(m_errors.jump)) {
            m_failed = true;
            return;
        }
        jpeg_create_compress(&m_info);
        m_created = true;
        m_destination.init_destination = [](j_compress_ptr info) {
            auto *self = static_cast<JpegEncoder *>(info->client_data);
            self->m_buffer.resize(kChunk);
            info->dest->next_output_byte = self->m_buffer.data();
            info->dest->free_in_buffer = self->m_buffer.size();
        };
        m_destination.empty_output_buffer = [](j_compress_ptr info) -> boolean {
            auto *self = static_cast<JpegEncoder *>(info->client_data);
            self->m_output.insert(self->m_output.end(), self->m_buffer.begin(), self->m_buffer.end());
            info->dest->next_output_byte = self->m_buffer.data();
            info->dest->free_in_buffer = self->m_buffer.size();
            return TRUE;
        };
        m_destination.term_destination = [](j_compress_ptr info) {
            auto *self = static_cast<JpegEncoder *>(info->client_data);
            size_t used = self->m_buffer.size() - info->dest->free_in_buffer;
            self->m_output.insert(self->m_output.end(), self->m_buffer.begin(),
                                  self->m_buffer.begin() + static_cast<std::ptrdiff_t>(used));
        };
        m_info.client_data = this;
        m_info.dest = &m_destination;
        m_info.image_width = width;
        m_info.image_height = height;
        m_info.input_components = components;
        m_info.in_color_space = components == 3 ? JCS_RGB : JCS_GRAYSCALE;
        jpeg_set_defaults(&m_info);
        jpeg_set_quality(&m_info, 90, TRUE);
        m_info.density_unit = 1;
        m_info.X_density = static_cast<UINT16>(resolution);
        m_info.Y_density = static_cast<UINT16>(resolution);
        m_lineBytes = static_cast<size_t>(width) * static_cast<size_t>(components);
        jpeg_start_compress(&m_info, TRUE);
    }
    ~JpegEncoder() override
    {
        if (m_created)
            jpeg_destroy_compress(&m_info);
    }
    bool write(const uint8_t *lines, int count) override
    {
        if (m_failed)
            return false;
        if (setjmp(m_errors.jump))
            return !(m_failed = true);
        for (int line = 0; line < count; ++line) {
            JSAMPROW row = const_cast<JSAMPROW>(lines + static_cast<size_t>(line) * m_lineBytes);
            if (jpeg_write_scanlines(&m_info, &row, 1) != 1)
                return !(m_failed = true);
        }
        return true;
    }
    bool finish() override
    {
        if (m_failed)
            return false;
        if (setjmp(m_errors.jump))
            return !(m_failed = true);
        jpeg_finish_compress(&m_info);
        return true;
    }

private:
    struct Errors {
        jpeg_error_mgr manager;
        jmp_buf jump;
    };
    jpeg_compress_struct m_info{};
    Errors m_errors{};
    jpeg_destination_mgr m_destination{};
    std::vector<uint8_t> m_buffer;
    size_t m_lineBytes = 0;
    bool m_created = false;
    bool m_failed = false;
};

class PngEncoder : public PageEncoder {
public:
    PngEncoder(uint32_t width, uint32_t height, int components, int resolution)
    {
        m_png = png_create_write_struct(PNG_LIBPNG_VER_STRING, this,
                                        [](png_structp png, png_const_charp) { png_longjmp(png, 1); },
                                        [](png_structp, png_const_charp) {});
        if (!m_png || !(m_info = png_create_info_struct(m_png))) {
            m_failed = true;
            return;
        }
        if (setjmp(png_jmpbuf(m_png))) {
            m_failed = true;
            return;
        }
        png_set_write_fn(
            m_png, this,
            [](png_structp png, png_bytep data, size_t length) {
                auto *self = static_cast<PngEncoder *>(png_get_io_ptr(png));
                self->m_output.insert(self->m_output.end(), data, data + length);
            },
            [](png_structp) {});
        png_set_IHDR(m_png, m_info, width, height, 8, components == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY,
                     PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        auto perMetre = static_cast<png_uint_32>(resolution * 10000 / 254);
        png_set_pHYs(m_png, m_info, perMetre, perMetre, PNG_RESOLUTION_METER);
        png_set_compression_level(m_png, 6);
        png_write_info(m_png, m_info);
        m_lineBytes = static_cast<size_t>(width) * static_cast<size_t>(components);
    }
    ~PngEncoder() override { png_destroy_write_struct(&m_png, m_info ? &m_info : nullptr); }
    bool write(const uint8_t *lines, int count) override
    {
        if (m_failed)
            return false;
        if (setjmp(png_jmpbuf(m_png)))
            return !(m_failed = true);
        for (int line = 0; line < count; ++line)
            png_write_row(m_png, lines + static_cast<size_t>(line) * m_lineBytes);
        return true;
    }
    bool finish() override
    {
        if (m_failed)
            return false;
        if (setjmp(png_jmpbuf(m_png)))
            return !(m_failed = true);
        png_write_end(m_png, nullptr);
        return true;
    }

private:
    png_structp m_png = nullptr;
    png_infop m_info = nullptr;
    size_t m_lineBytes = 0;
    bool m_failed = false;
};

// One page as a PDF around a JPEG image that libjpeg encodes band by band:
// the objects before the image go out first, the image's length and the
// cross-reference table after it, so nothing waits for the whole page.
class PdfEncoder : public PageEncoder {
public:
    PdfEncoder(uint32_t width, uint32_t height, int components, int resolution)
        : m_image(width, height, components, resolution)
    {
        double widthPoints = width * 72.0 / resolution, heightPoints = height * 72.0 / resolution;
        char box[96];
        std::snprintf(box, sizeof(box), "%.2f 0 0 %.2f 0 0 cm", widthPoints, heightPoints);
        std::string content = std::string("q ") + box + " /Im0 Do Q\n";
        char media[64];
        std::snprintf(media, sizeof(media), "[0 0 %.2f %.2f]", widthPoints, heightPoints);
        append("%PDF-1.4\n%\xE2\xE3\xCF\xD3\n");
        object(1, "<< /Type /Catalog /Pages 2 0 R >>");
        object(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
        object(3, std::string("<< /Type /Page /Parent 2 0 R /MediaBox ") + media +
                      " /Resources << /XObject << /Im0 5 0 R >> >> /Contents 4 0 R >>");
        object(4, "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "endstream");
        m_offsets[5] = m_written;
        append("5 0 obj\n<< /Type /XObject /Subtype /Image /Width " + std::to_string(width) + " /Height " +
               std::to_string(height) + " /ColorSpace " + (components == 3 ? "/DeviceRGB" : "/DeviceGray") +
               " /BitsPerComponent 8 /Filter /DCTDecode /Length 6 0 R >>\nstream\n");
    }
    bool write(const uint8_t *lines, int count) override
    {
        bool good = m_image.write(lines, count);
        takeImage();
        return good;
    }
    bool finish() override
    {
        if (!m_image.finish())
            return false;
        takeImage();
        append("\nendstream\nendobj\n");
        object(6, std::to_string(m_imageBytes));
        uint64_t table = m_written;
        append("xref\n0 7\n0000000000 65535 f \n");
        for (int number = 1; number <= 6; ++number) {
            char line[24];
            std::snprintf(line, sizeof(line), "%010llu 00000 n \n", static_cast<unsigned long long>(m_offsets[number]));
            append(line);
        }
        append("trailer\n<< /Size 7 /Root 1 0 R >>\nstartxref\n" + std::to_string(table) + "\n%%EOF\n");
        return true;
    }

private:
    void append(const std::string &text)
    {
        m_output.insert(m_output.end(), text.begin(), text.end());
        m_written += text.size();
    }
    void object(int number, const std::string &body)
    {
        m_offsets[number] = m_written;
        append(std::to_string(number) + " 0 obj\n" + body + "\nendobj\n");
    }
    void takeImage()
    {
        std::vector<uint8_t> &bytes = m_image.output();
        m_output.insert(m_output.end(), bytes.begin(), bytes.end());
        m_written += bytes.size();
        m_imageBytes += bytes.size();
        bytes.clear();
    }

    JpegEncoder m_image;
    uint64_t m_written = 0;
    uint64_t m_imageBytes = 0;
    uint64_t m_offsets[7] = {};
};

} // namespace

std::unique_ptr<PageEncoder> MakePageEncoder(const std::string &format, uint32_t width, uint32_t height,
                                             int components, int resolution)
{
    if (width == 0 || height == 0 || width > 65500 || height > 65500 || (components != 1 && components != 3))
        return nullptr;
    if (format == "image/jpeg")
        return std::make_unique<JpegEncoder>(width, height, components, resolution);
    if (format == "image/png")
        return std::make_unique<PngEncoder>(width, height, components, resolution);
    if (format == "application/pdf")
        return std::make_unique<PdfEncoder>(width, height, components, resolution);
    return nullptr;
}

} // namespace ruvo_share
