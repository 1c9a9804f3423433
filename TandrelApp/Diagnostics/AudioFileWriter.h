// An audio file open for writing: interleaved 32-bit float frames in, 24-bit integer PCM out, the
// container chosen by the file name's extension (".wav", ".aif"/".aiff", ".caf"). The capture analyzer
// records through it. Closed when the object goes away.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "TandrelApp/Support/AppError.h"

struct sf_private_tag;

class AudioFileWriter {
public:
    class FileError : public AppError {
    public:
        using AppError::AppError;
    };

    // Creates or replaces the file; throws FileError when the extension names no supported container or
    // the file cannot be opened for writing.
    AudioFileWriter(const std::filesystem::path& path, double sampleRate, uint32_t channels);
    ~AudioFileWriter();
    AudioFileWriter(const AudioFileWriter&) = delete;
    AudioFileWriter& operator=(const AudioFileWriter&) = delete;

    // Appends `frames` interleaved frames of the file's channel count; samples beyond ±1 are clipped.
    // False when the file refused them.
    bool write(const float* interleaved, uint32_t frames);

private:
    sf_private_tag* file_; // libsndfile's SNDFILE
};
