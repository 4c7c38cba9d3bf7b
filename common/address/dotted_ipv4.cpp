#include "dotted_ipv4.h"

namespace ruvo_address {

bool IsDottedIPv4(std::string_view text)
{
    // "255.255.255.255" is the longest address.
    if (text.empty() || text.size() > 15)
        return false;
    int numbers = 0;
    size_t position = 0;
    while (true) {
        const size_t start = position;
        unsigned value = 0;
        while (position < text.size() && position - start < 3 && text[position] >= '0' && text[position] <= '9') {
            value = value * 10 + static_cast<unsigned>(text[position] - '0');
            ++position;
        }
        const size_t digits = position - start;
        // A zero may only stand alone: "010" would be read as octal elsewhere.
        if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0'))
            return false;
        ++numbers;
        if (position == text.size())
            return numbers == 4;
        if (text[position] != '.' || numbers == 4)
            return false;
        ++position;
    }
}

} // namespace ruvo_address
