#pragma once
// Pieces of the network scanner code that tests reach but the daemon does not call.

#include <cstdint>

// Send and receive timeout of every connection, 5000 ms unless a test shortens
// it to see a stalled scanner give up without waiting the full time.
void ruvo_net_set_timeout_ms(int milliseconds);

// Makes *data at least `needed` bytes (realloc; *dataSize follows). Returns 0,
// or 10 when `needed` is over the block limit or memory runs out; the buffer is
// then left as it was.
int ruvo_net_grow_buffer(unsigned char **data, int *dataSize, uint32_t needed);
