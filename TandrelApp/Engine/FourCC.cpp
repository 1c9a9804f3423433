#include "TandrelApp/Engine/FourCC.h"

std::string fourCC(uint32_t code) {
    std::string text;
    for (int shift : {24, 16, 8, 0}) {
        auto byte = static_cast<unsigned char>((code >> shift) & 0xFF);
        if (byte >= 0x80) {
            return std::to_string(code);
        }
        text.push_back(static_cast<char>(byte));
    }
    return text;
}
