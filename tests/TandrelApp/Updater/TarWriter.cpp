#include "TarWriter.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include <zlib.h>

namespace {

// `value` in octal digits filling the field but for its closing NUL.
void octal(char* field, std::size_t size, std::uint64_t value) {
    for (std::size_t i = size - 1; i-- > 0; value >>= 3) {
        field[i] = char('0' + (value & 7));
    }
    field[size - 1] = '\0';
}

} // namespace

TarWriter& TarWriter::entry(char type, const std::string& name, const std::string& contents,
                            std::uint64_t size, const std::string& link, unsigned mode) {
    char header[512] = {};
    std::memcpy(header, name.data(), std::min<std::size_t>(name.size(), 100));
    octal(header + 100, 8, mode);
    octal(header + 108, 8, 0);
    octal(header + 116, 8, 0);
    octal(header + 124, 12, size);
    octal(header + 136, 12, 0);
    header[156] = type;
    std::memcpy(header + 157, link.data(), std::min<std::size_t>(link.size(), 100));
    std::memcpy(header + 257, "ustar", 6);
    std::memcpy(header + 263, "00", 2);
    std::memset(header + 148, ' ', 8);
    unsigned sum = 0;
    for (const char byte : header) {
        sum += static_cast<unsigned char>(byte);
    }
    octal(header + 148, 7, sum);
    bytes_.append(header, sizeof header);
    bytes_ += contents;
    bytes_.append((512 - contents.size() % 512) % 512, '\0');
    return *this;
}

TarWriter& TarWriter::pax(const Records& records, bool global) {
    std::string data;
    for (const auto& [key, value] : records) {
        // The length counts the whole record, its own digits included.
        const std::size_t rest = key.size() + value.size() + 3;
        std::size_t length = rest + 1;
        while (std::to_string(length).size() + rest != length) {
            ++length;
        }
        data += std::to_string(length) + " " + key + "=" + value + "\n";
    }
    return entry(global ? 'g' : 'x', "PaxHeader", data, data.size());
}

std::string TarWriter::tar() const {
    return bytes_ + std::string(1024, '\0');
}

std::string TarWriter::tarGz() const {
    const std::string plain = tar();
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_SPEED, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("deflateInit2");
    }
    std::string packed(deflateBound(&stream, uLong(plain.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
    stream.avail_in = uInt(plain.size());
    stream.next_out = reinterpret_cast<Bytef*>(packed.data());
    stream.avail_out = uInt(packed.size());
    const int result = deflate(&stream, Z_FINISH);
    packed.resize(stream.total_out);
    deflateEnd(&stream);
    if (result != Z_STREAM_END) {
        throw std::runtime_error("deflate");
    }
    return packed;
}
