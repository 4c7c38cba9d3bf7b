#include "page_decoder.h"

#include <cstdio>
#include <jpeglib.h>
#include <jerror.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <vector>

namespace ruvo_sane {

namespace {

// ---- raw lines ----
class RawDecoder : public PageDecoder {
public:
    RawDecoder(size_t lineBytes, size_t stride, int64_t lines)
        : m_lineBytes(lineBytes), m_stride(std::max(stride, lineBytes)), m_lines(lines)
    {
    }

    void feed(const uint8_t *bytes, size_t length) override
    {
        compact();
        m_input.insert(m_input.end(), bytes, bytes + length);
    }

    void finishInput() override { m_inputEnded = true; }

    size_t produce(uint8_t *out, size_t capacity) override
    {
        size_t written = 0;
        while (written < capacity && !linesComplete() && m_lineBytes > 0) {
            // A line goes out only once all of it (with its padding) is here.
            if (m_input.size() - m_consumed < m_stride)
                break;
            size_t count = std::min(capacity - written, m_lineBytes - m_inLine);
            std::memcpy(out + written, m_input.data() + m_consumed + m_inLine, count);
            written += count;
            m_inLine += count;
            if (m_inLine == m_lineBytes) {
                m_consumed += m_stride;
                m_inLine = 0;
                ++m_linesDone;
            }
        }
        return written;
    }

    State state() const override
    {
        if (linesComplete() || (m_lineBytes == 0 && m_inputEnded))
            return m_lineBytes == 0 && m_lines > 0 ? State::Failed : State::Done;
        if (!m_inputEnded || m_input.size() - m_consumed >= m_stride)
            return State::NeedInput;
        // The file ended: a feeder page ends with its last whole line (a
        // broken-off line is dropped); a flatbed page short of lines is broken.
        return m_lines < 0 ? State::Done : State::Failed;
    }

    int64_t linesDone() const override { return m_linesDone; }

private:
    bool linesComplete() const { return m_lines >= 0 && m_linesDone >= m_lines; }
    void compact()
    {
        if (m_consumed > 0) {
            m_input.erase(m_input.begin(), m_input.begin() + static_cast<std::ptrdiff_t>(m_consumed));
            m_consumed = 0;
        }
    }

    size_t m_lineBytes;
    size_t m_stride;
    int64_t m_lines;
    std::vector<uint8_t> m_input;
    size_t m_consumed = 0;
    size_t m_inLine = 0;
    int64_t m_linesDone = 0;
    bool m_inputEnded = false;
};

// ---- JPEG, decoded as it arrives ----

struct JpegErrorManager {
    jpeg_error_mgr manager;
    jmp_buf jump;
};

void jpegErrorExit(j_common_ptr info)
{
    longjmp(reinterpret_cast<JpegErrorManager *>(info->err)->jump, 1);
}

void jpegNoMessage(j_common_ptr, int) {}

// The source manager: the bytes received so far. When they run out libjpeg
// suspends (fill_input_buffer returns FALSE) and resumes at the same place
// once more bytes are fed.
struct GrowingSource {
    jpeg_source_mgr manager;
    std::vector<uint8_t> bytes;
    size_t pendingSkip = 0;
    bool ended = false;
};

void sourceInit(j_decompress_ptr) {}
void sourceTerm(j_decompress_ptr) {}

boolean sourceFill(j_decompress_ptr info)
{
    auto *source = reinterpret_cast<GrowingSource *>(info->src);
    if (source->ended)
        ERREXIT(info, JERR_INPUT_EOF); // the stream was cut off
    return FALSE;
}

void sourceSkip(j_decompress_ptr info, long count)
{
    auto *source = reinterpret_cast<GrowingSource *>(info->src);
    if (count <= 0)
        return;
    auto wanted = static_cast<size_t>(count);
    if (wanted <= source->manager.bytes_in_buffer) {
        source->manager.next_input_byte += wanted;
        source->manager.bytes_in_buffer -= wanted;
    } else {
        source->pendingSkip += wanted - source->manager.bytes_in_buffer;
        source->manager.next_input_byte += source->manager.bytes_in_buffer;
        source->manager.bytes_in_buffer = 0;
    }
}

enum class Phase { Header, Start, Lines, Done, Failed };

// The decoder's state kept apart from the class, so the functions that may
// jump back from libjpeg's error exit touch only plain records.
struct JpegState {
    jpeg_decompress_struct info;
    JpegErrorManager error;
    GrowingSource source;
    Phase phase = Phase::Header;
    uint32_t width = 0;
    int components = 1;
    int64_t lines = -1;
    int64_t maxLines = -1;
    std::vector<uint8_t> line; // the line being handed out
    size_t inLine = 0;
    bool lineReady = false;
    int64_t linesDone = 0;
};

// One step of decoding. Returns false when libjpeg suspended for more bytes.
bool jpegStep(JpegState *state)
{
    if (setjmp(state->error.jump)) {
        state->phase = Phase::Failed;
        return true;
    }
    jpeg_decompress_struct *info = &state->info;
    switch (state->phase) {
    case Phase::Header: {
        int header = jpeg_read_header(info, TRUE);
        if (header == JPEG_SUSPENDED)
            return false;
        bool grey = state->components == 1;
        if (header != JPEG_HEADER_OK || info->image_width != state->width ||
            info->num_components != state->components ||
            (state->lines >= 0 && static_cast<int64_t>(info->image_height) != state->lines) ||
            (state->lines < 0 && static_cast<int64_t>(info->image_height) > state->maxLines)) {
            state->phase = Phase::Failed;
            return true;
        }
        info->out_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
        state->phase = Phase::Start;
        return true;
    }
    case Phase::Start:
        if (!jpeg_start_decompress(info))
            return false;
        if (info->output_components != state->components) {
            state->phase = Phase::Failed;
            return true;
        }
        state->line.assign(static_cast<size_t>(state->width) * static_cast<size_t>(state->components), 0);
        state->phase = info->output_height > 0 ? Phase::Lines : Phase::Done;
        return true;
    case Phase::Lines: {
        JSAMPROW row = state->line.data();
        if (jpeg_read_scanlines(info, &row, 1) != 1)
            return false;
        state->lineReady = true;
        state->inLine = 0;
        return true;
    }
    case Phase::Done:
    case Phase::Failed: return true;
    }
    return true;
}

class JpegDecoder : public PageDecoder {
public:
    JpegDecoder(uint32_t width, int components, int64_t lines, int64_t maxLines) : m_state(new JpegState)
    {
        JpegState &state = *m_state;
        state.width = width;
        state.components = components;
        state.lines = lines;
        state.maxLines = maxLines;
        state.info.err = jpeg_std_error(&state.error.manager);
        state.error.manager.error_exit = jpegErrorExit;
        state.error.manager.emit_message = jpegNoMessage;
        jpeg_create_decompress(&state.info);
        // Past this libjpeg would need a backing store, which this build has
        // not: the page fails with an error instead.
        state.info.mem->max_memory_to_use = kJpegMemoryLimit;
        state.source.manager.init_source = sourceInit;
        state.source.manager.fill_input_buffer = sourceFill;
        state.source.manager.skip_input_data = sourceSkip;
        state.source.manager.resync_to_restart = jpeg_resync_to_restart;
        state.source.manager.term_source = sourceTerm;
        state.source.manager.next_input_byte = nullptr;
        state.source.manager.bytes_in_buffer = 0;
        state.info.src = &state.source.manager;
        if (width == 0 || (components != 1 && components != 3) || width > (1u << 20))
            state.phase = Phase::Failed;
    }

    ~JpegDecoder() override { jpeg_destroy_decompress(&m_state->info); }

    void feed(const uint8_t *bytes, size_t length) override
    {
        GrowingSource &source = m_state->source;
        // Keep only what libjpeg has not consumed yet, then add the new bytes.
        size_t unread = source.manager.bytes_in_buffer;
        if (unread > 0) {
            size_t start = static_cast<size_t>(source.manager.next_input_byte - source.bytes.data());
            source.bytes.erase(source.bytes.begin(), source.bytes.begin() + static_cast<std::ptrdiff_t>(start));
        } else {
            source.bytes.clear();
        }
        size_t skip = std::min(source.pendingSkip, length);
        source.pendingSkip -= skip;
        source.bytes.insert(source.bytes.end(), bytes + skip, bytes + length);
        source.manager.next_input_byte = source.bytes.data();
        source.manager.bytes_in_buffer = source.bytes.size();
    }

    void finishInput() override
    {
        m_state->source.ended = true;
        m_inputEnded = true;
    }

    size_t produce(uint8_t *out, size_t capacity) override
    {
        JpegState &state = *m_state;
        size_t written = 0;
        while (written < capacity) {
            if (state.lineReady) {
                size_t count = std::min(capacity - written, state.line.size() - state.inLine);
                std::memcpy(out + written, state.line.data() + state.inLine, count);
                written += count;
                state.inLine += count;
                if (state.inLine == state.line.size()) {
                    state.lineReady = false;
                    ++state.linesDone;
                    if (state.info.output_scanline >= state.info.output_height)
                        state.phase = Phase::Done;
                }
                continue;
            }
            if (state.phase == Phase::Done || state.phase == Phase::Failed)
                break;
            if (!jpegStep(&state)) {
                m_suspended = true;
                break;
            }
            m_suspended = false;
        }
        return written;
    }

    State state() const override
    {
        const JpegState &state = *m_state;
        if (state.phase == Phase::Failed)
            return State::Failed;
        if (state.phase == Phase::Done && !state.lineReady)
            return State::Done;
        if (m_inputEnded && m_suspended)
            return State::Failed;
        return State::NeedInput;
    }

    int64_t linesDone() const override { return m_state->linesDone; }

private:
    std::unique_ptr<JpegState> m_state;
    bool m_inputEnded = false;
    bool m_suspended = false;
};

} // namespace

std::unique_ptr<PageDecoder> MakeRawDecoder(size_t lineBytes, size_t stride, int64_t lines)
{
    return std::make_unique<RawDecoder>(lineBytes, stride, lines);
}

std::unique_ptr<PageDecoder> MakeJpegDecoder(uint32_t width, int components, int64_t lines, int64_t maxLines)
{
    return std::make_unique<JpegDecoder>(width, components, lines, maxLines);
}

} // namespace ruvo_sane
