#pragma once
// The descriptor a polling front end waits on during a scan: readable when a
// read has something to give (bytes, the page's end, a cancel). An eventfd,
// so raising it is one write: safe from the record reader and from a signal
// handler alike.

#include "unique_fd.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace ruvo_sane {

class ReadySignal {
public:
    ReadySignal() : m_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

    bool valid() const { return m_fd.valid(); }
    int descriptor() const { return m_fd.get(); }
    void raise() const
    {
        uint64_t one = 1;
        if (::write(m_fd.get(), &one, sizeof(one)) < 0) {
            // The counter is saturated: it is readable already.
        }
    }
    // Makes it unreadable until the next raise.
    void clear() const
    {
        uint64_t count = 0;
        if (::read(m_fd.get(), &count, sizeof(count)) < 0) {
            // Nothing was raised.
        }
    }

private:
    UniqueFd m_fd;
};

} // namespace ruvo_sane
