#include "TandrelApp/Diagnostics/AudioFileWriter.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <optional>

#include <sndfile.h>

namespace {

std::optional<int> containerFor(const std::filesystem::path& path) {
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (extension == ".wav") {
        return SF_FORMAT_WAV;
    }
    if (extension == ".aif" || extension == ".aiff") {
        return SF_FORMAT_AIFF;
    }
    if (extension == ".caf") {
        return SF_FORMAT_CAF;
    }
    return std::nullopt;
}

} // namespace

AudioFileWriter::AudioFileWriter(const std::filesystem::path& path, double sampleRate, uint32_t channels)
    : file_(nullptr) {
    const auto container = containerFor(path);
    if (!container) {
        throw FileError("録音ファイルの形式に対応していません（" + path.filename().string() +
                        "）: 拡張子は .wav、.aiff または .caf にしてください");
    }
    if (channels == 0 || channels > 1024 || !(sampleRate >= 1 && sampleRate <= 1e6)) {
        throw FileError("録音ファイルを作成できません（" + path.filename().string() +
                        "）: 音声の形式が不正です");
    }
    SF_INFO info{};
    info.samplerate = static_cast<int>(std::lround(sampleRate));
    info.channels = static_cast<int>(channels);
    info.format = *container | SF_FORMAT_PCM_24;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        throw FileError("録音ファイルを作成できません（" + path.string() + "）: " + sf_strerror(nullptr));
    }
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    file_ = file;
}

AudioFileWriter::~AudioFileWriter() {
    sf_close(file_);
}

bool AudioFileWriter::write(const float* interleaved, uint32_t frames) {
    return sf_writef_float(file_, interleaved, frames) == static_cast<sf_count_t>(frames);
}
