#pragma once
// The one rule for a scanner's IPv4 address written as text, shared by the
// scan daemon, the SANE backend's configuration reader and the network tool:
// an address one of them accepts, the others accept too. No Qt.

#include <string_view>

namespace ruvo_address {

// Four decimal numbers 0..255 joined by dots and nothing else: no blanks, no
// signs, no empty number, and no leading zero ("0" alone is a number, "01" is
// not), as the system's own address parser reads them.
bool IsDottedIPv4(std::string_view text);

} // namespace ruvo_address
