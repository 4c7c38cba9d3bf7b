#pragma once
// The eSCL documents the share serves and reads: the capabilities and status
// of one scanner, and a client's ScanSettings. Pure: values in, text out, and
// text in, values out. Sizes are in 1/300 inch, as the protocol counts them.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ruvo_share {

enum class Source { Platen, Feeder };
enum class ColourMode { Colour, Grey };

struct SourceDescription {
    bool present = false;
    int maxWidth = 0;  // 1/300 inch
    int maxHeight = 0; // 1/300 inch
    std::vector<int> resolutions;
};

struct ScannerDescription {
    std::string makeAndModel; // "Ruvo K402ADN"
    std::string serial;
    std::string uuid;         // stable: derived from the serial or the address
    bool colour = true;
    SourceDescription platen;
    SourceDescription feeder;
    std::vector<std::string> formats; // "image/jpeg", "image/png", ...
};

std::string CapabilitiesXml(const ScannerDescription &scanner);

enum class ScannerState { Idle, Processing, Stopped };
enum class FeederState { None, Loaded, Empty, Jammed };

struct JobStatus {
    std::string uri;   // "/eSCL/ScanJobs/<id>"
    std::string uuid;
    int ageSeconds = 0;
    int imagesCompleted = 0;
    bool running = true; // Processing; otherwise Completed, or Aborted when `aborted`
    bool aborted = false;
};

std::string StatusXml(ScannerState state, FeederState feeder, const std::vector<JobStatus> &jobs);

struct ScanRequest {
    Source source = Source::Platen;
    ColourMode mode = ColourMode::Colour;
    int resolution = 300;
    std::string format = "image/jpeg";
    // The region; a width of 0 means the whole area of the source.
    int xOffset = 0, yOffset = 0, width = 0, height = 0;
};

// A ScanSettings document has at most this many bytes.
inline constexpr size_t kMaxSettingsBytes = 16 * 1024;

// The client's ScanSettings, read with libxml2 with network access, entity
// substitution and DTD loading off; a document with a DTD of its own is
// refused. nullopt when it is not a ScanSettings document of sane values.
std::optional<ScanRequest> ParseScanSettings(std::string_view text);

// Why a request cannot be served by this scanner (answered 409), or empty.
// Regions reaching past the source's area are cut at its edge.
std::string CheckRequest(const ScannerDescription &scanner, ScanRequest &request);

struct PixelRegion {
    uint32_t xStart = 0, yStart = 0, width = 0, height = 0;
};
// The request's region in pixels at its resolution, each edge rounded.
PixelRegion ToPixels(const ScanRequest &request);

} // namespace ruvo_share
