// Media helpers for applications that feed the bus: YUV4MPEG2 (.y4m) video
// into packed YUY2 frames of the size the host selected, and WAV audio
// into the bus's 48000 Hz, stereo, 16-bit PCM (and back out to a WAV file).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vhub {
namespace sdk {

enum class Chroma { k420, k422, k444, kMono };

struct Y4mHeader {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t fps_num = 30;  // frame rate num/den ("F30:1"); 30 when absent
    uint32_t fps_den = 1;
    Chroma chroma = Chroma::k420;
    // Bytes of one planar frame in the file.
    size_t FrameBytes() const;
};

// Parses the stream header line (without its '\n'): "YUV4MPEG2 W.. H.. F..".
// Only 8-bit formats are accepted.
bool ParseY4mHeader(const std::string& line, Y4mHeader* header, std::string* error);

// Converts one planar frame (header.FrameBytes() bytes) into packed YUY2
// (Y0 U Y1 V) of out_width x out_height, scaling by nearest neighbour.
// out_width must be even.
void PlanarToYuy2(const uint8_t* frame, const Y4mHeader& header, uint32_t out_width,
                  uint32_t out_height, std::vector<uint8_t>* yuy2);

class Y4mReader {
public:
    ~Y4mReader();
    bool Open(const std::string& path, std::string* error);
    const Y4mHeader& header() const { return header_; }
    // Reads the next frame's planes; false at the end of the stream or on a
    // malformed frame (error says which).
    bool ReadFrame(std::vector<uint8_t>* planar, std::string* error);
    bool Rewind();

private:
    std::FILE* file_ = nullptr;
    long data_start_ = 0;
    Y4mHeader header_;
};

// Reads a WAV file (PCM 8/16/24/32-bit or 32-bit float, plain or
// extensible) and converts it to the bus's format: 48000 Hz, two channels,
// 16-bit little-endian (mono is duplicated, extra channels are dropped, other
// rates are resampled linearly).
bool LoadWavAsBusPcm(const std::string& path, std::vector<uint8_t>* pcm, std::string* error);
// The same from the bytes of a WAV file.
bool DecodeWavAsBusPcm(const std::vector<uint8_t>& file, std::vector<uint8_t>* pcm,
                       std::string* error);

// Writes 48000 Hz stereo 16-bit PCM to a WAV file; the sizes in the header
// are filled in by Close().
class WavWriter {
public:
    ~WavWriter();
    bool Open(const std::string& path, std::string* error);
    bool Append(const uint8_t* pcm, size_t size);
    bool Close();
    uint64_t data_bytes() const { return data_bytes_; }

private:
    std::FILE* file_ = nullptr;
    uint64_t data_bytes_ = 0;
};

}  // namespace sdk
}  // namespace vhub
