// The text of a four-character code ("nsrt" for 'nsrt'), for error texts and log lines about audio-server
// properties.
#pragma once

#include <cstdint>
#include <string>

// The four bytes from the most significant down, as ASCII; the value in unsigned decimal when a byte is
// 0x80 or above. Control characters are kept.
std::string fourCC(uint32_t code);
