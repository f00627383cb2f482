#include "vhub/media.h"

#include <cmath>
#include <cstring>
#include <sstream>

#include "vhub/sdk.h"

namespace vhub {
namespace sdk {

// ---------------------------------------------------------------------------
// YUV4MPEG2
// ---------------------------------------------------------------------------

size_t Y4mHeader::FrameBytes() const {
    size_t luma = size_t(width) * height;
    size_t cw = (size_t(width) + 1) / 2, ch = (size_t(height) + 1) / 2;
    switch (chroma) {
        case Chroma::k420: return luma + 2 * cw * ch;
        case Chroma::k422: return luma + 2 * cw * height;
        case Chroma::k444: return 3 * luma;
        case Chroma::kMono: return luma;
    }
    return luma;
}

bool ParseY4mHeader(const std::string& line, Y4mHeader* header, std::string* error) {
    std::istringstream in(line);
    std::string token;
    if (!(in >> token) || token != "YUV4MPEG2") {
        *error = "not a YUV4MPEG2 stream";
        return false;
    }
    Y4mHeader h;
    while (in >> token) {
        const char tag = token[0];
        const std::string value = token.substr(1);
        if (tag == 'W' || tag == 'H') {
            char* end = nullptr;
            unsigned long v = std::strtoul(value.c_str(), &end, 10);
            if (value.empty() || *end || v == 0 || v > 16384) {
                *error = "bad frame " + std::string(tag == 'W' ? "width" : "height") + " '" + value + "'";
                return false;
            }
            (tag == 'W' ? h.width : h.height) = uint32_t(v);
        } else if (tag == 'F') {
            unsigned long num = 0, den = 0;
            if (std::sscanf(value.c_str(), "%lu:%lu", &num, &den) != 2 || num == 0 || den == 0 ||
                num > 1000000 || den > 1000000) {
                *error = "bad frame rate '" + value + "'";
                return false;
            }
            h.fps_num = uint32_t(num);
            h.fps_den = uint32_t(den);
        } else if (tag == 'C') {
            if (value == "420" || value == "420jpeg" || value == "420paldv" || value == "420mpeg2") {
                h.chroma = Chroma::k420;
            } else if (value == "422") {
                h.chroma = Chroma::k422;
            } else if (value == "444") {
                h.chroma = Chroma::k444;
            } else if (value == "mono") {
                h.chroma = Chroma::kMono;
            } else {
                *error = "unsupported colour space '" + value + "' (8-bit 420, 422, 444 or mono)";
                return false;
            }
        }
        // I (interlacing), A (aspect), X (comments) do not change the bytes.
    }
    if (h.width == 0 || h.height == 0) {
        *error = "stream header without W and H";
        return false;
    }
    *header = h;
    return true;
}

void PlanarToYuy2(const uint8_t* frame, const Y4mHeader& h, uint32_t out_width, uint32_t out_height,
                  std::vector<uint8_t>* yuy2) {
    yuy2->resize(size_t(out_width) * out_height * 2);
    const size_t luma = size_t(h.width) * h.height;
    const uint8_t* y_plane = frame;
    const uint8_t* u_plane = frame + luma;
    size_t chroma_w = h.width, chroma_plane = 0;
    uint32_t x_shift = 0, y_shift = 0;
    switch (h.chroma) {
        case Chroma::k420: chroma_w = (h.width + 1) / 2; x_shift = y_shift = 1; break;
        case Chroma::k422: chroma_w = (h.width + 1) / 2; x_shift = 1; break;
        case Chroma::k444: break;
        case Chroma::kMono: break;
    }
    chroma_plane = chroma_w * (y_shift ? (h.height + 1) / 2 : h.height);
    const uint8_t* v_plane = u_plane + chroma_plane;

    uint8_t* out = yuy2->data();
    for (uint32_t oy = 0; oy < out_height; ++oy) {
        const uint32_t sy = uint32_t(uint64_t(oy) * h.height / out_height);
        const uint8_t* y_row = y_plane + size_t(sy) * h.width;
        for (uint32_t ox = 0; ox < out_width; ox += 2) {
            const uint32_t sx0 = uint32_t(uint64_t(ox) * h.width / out_width);
            const uint32_t sx1 = ox + 1 < out_width ? uint32_t(uint64_t(ox + 1) * h.width / out_width) : sx0;
            uint8_t u = 128, v = 128;
            if (h.chroma != Chroma::kMono) {
                size_t c = size_t(sy >> y_shift) * chroma_w + (sx0 >> x_shift);
                u = u_plane[c];
                v = v_plane[c];
            }
            *out++ = y_row[sx0];
            *out++ = u;
            if (ox + 1 < out_width) {
                *out++ = y_row[sx1];
                *out++ = v;
            }
        }
    }
}

Y4mReader::~Y4mReader() {
    if (file_) std::fclose(file_);
}

bool Y4mReader::Open(const std::string& path, std::string* error) {
    if (file_) std::fclose(file_);
    file_ = std::fopen(path.c_str(), "rb");
    if (!file_) {
        *error = "cannot open " + path;
        return false;
    }
    std::string line;
    int c;
    while ((c = std::fgetc(file_)) != EOF && c != '\n') {
        line.push_back(char(c));
        if (line.size() > 4096) break;
    }
    if (c != '\n') {
        *error = path + ": no stream header";
        return false;
    }
    if (!ParseY4mHeader(line, &header_, error)) {
        *error = path + ": " + *error;
        return false;
    }
    data_start_ = std::ftell(file_);
    return true;
}

bool Y4mReader::ReadFrame(std::vector<uint8_t>* planar, std::string* error) {
    error->clear();
    if (!file_) {
        *error = "not open";
        return false;
    }
    std::string line;
    int c;
    while ((c = std::fgetc(file_)) != EOF && c != '\n') {
        line.push_back(char(c));
        if (line.size() > 4096) break;
    }
    if (c == EOF && line.empty()) return false;  // clean end of stream
    if (c != '\n' || line.rfind("FRAME", 0) != 0) {
        *error = "malformed frame header";
        return false;
    }
    planar->resize(header_.FrameBytes());
    if (std::fread(planar->data(), 1, planar->size(), file_) != planar->size()) {
        *error = "truncated frame";
        return false;
    }
    return true;
}

bool Y4mReader::Rewind() { return file_ && std::fseek(file_, data_start_, SEEK_SET) == 0; }

// ---------------------------------------------------------------------------
// WAV
// ---------------------------------------------------------------------------

namespace {

uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
void Put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// One sample as a float in [-1, 1].
float Sample(const uint8_t* p, uint16_t bits, bool is_float) {
    if (is_float) {
        uint32_t u = Le32(p);
        float f;
        std::memcpy(&f, &u, 4);
        return std::isfinite(f) ? f : 0.0f;
    }
    switch (bits) {
        case 8: return (int(p[0]) - 128) / 128.0f;
        case 16: return int16_t(Le16(p)) / 32768.0f;
        case 24: return int32_t((uint32_t(p[0]) << 8) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 24)) / 2147483648.0f;
        default: return int32_t(Le32(p)) / 2147483648.0f;
    }
}

int16_t ToS16(float f) {
    float s = f * 32768.0f;
    if (s > 32767.0f) s = 32767.0f;
    if (s < -32768.0f) s = -32768.0f;
    return int16_t(std::lround(s));
}

}  // namespace

bool DecodeWavAsBusPcm(const std::vector<uint8_t>& file, std::vector<uint8_t>* pcm, std::string* error) {
    if (file.size() < 12 || std::memcmp(file.data(), "RIFF", 4) != 0 ||
        std::memcmp(file.data() + 8, "WAVE", 4) != 0) {
        *error = "not a RIFF/WAVE file";
        return false;
    }
    uint16_t format = 0, channels = 0, bits = 0, block = 0;
    uint32_t rate = 0;
    const uint8_t* data = nullptr;
    size_t data_size = 0;
    size_t pos = 12;
    while (pos + 8 <= file.size()) {
        const uint8_t* chunk = file.data() + pos;
        size_t size = Le32(chunk + 4);
        size_t avail = file.size() - pos - 8;
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (size < 16 || size > avail) {
                *error = "bad fmt chunk";
                return false;
            }
            format = Le16(chunk + 8);
            channels = Le16(chunk + 10);
            rate = Le32(chunk + 12);
            block = Le16(chunk + 20);
            bits = Le16(chunk + 22);
            if (format == 0xFFFE && size >= 40) format = Le16(chunk + 8 + 24);  // sub-format
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            data = chunk + 8;
            data_size = size > avail ? avail : size;  // a truncated file keeps what it has
        }
        pos += 8 + size + (size & 1);
    }
    if (!format) {
        *error = "no fmt chunk";
        return false;
    }
    const bool is_float = format == 3;
    if (!((format == 1 && (bits == 8 || bits == 16 || bits == 24 || bits == 32)) ||
          (is_float && bits == 32))) {
        *error = "unsupported sample format (PCM 8/16/24/32-bit or 32-bit float)";
        return false;
    }
    if (channels == 0 || rate == 0 || rate > 768000 || block != channels * (bits / 8)) {
        *error = "inconsistent fmt chunk";
        return false;
    }
    if (!data) {
        *error = "no data chunk";
        return false;
    }
    const size_t in_frames = data_size / block;
    const size_t bytes = bits / 8;
    auto channel = [&](size_t frame, unsigned ch) {
        if (ch >= channels) ch = 0;  // mono: both sides from channel 0
        return Sample(data + frame * block + ch * bytes, bits, is_float);
    };
    const size_t out_frames =
        in_frames == 0 ? 0 : size_t((uint64_t(in_frames) * kAudioSampleRate + rate - 1) / rate);
    pcm->resize(out_frames * kAudioBytesPerFrame);
    uint8_t* out = pcm->data();
    for (size_t i = 0; i < out_frames; ++i) {
        // Linear interpolation between the two input frames around i.
        const double t = double(i) * rate / kAudioSampleRate;
        size_t a = size_t(t);
        if (a >= in_frames) a = in_frames - 1;
        const size_t b = a + 1 < in_frames ? a + 1 : a;
        const float frac = float(t - double(a));
        for (unsigned ch = 0; ch < 2; ++ch) {
            float s = channel(a, ch) + (channel(b, ch) - channel(a, ch)) * frac;
            Put16(out + i * 4 + ch * 2, uint16_t(ToS16(s)));
        }
    }
    return true;
}

bool LoadWavAsBusPcm(const std::string& path, std::vector<uint8_t>* pcm, std::string* error) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        *error = "cannot open " + path;
        return false;
    }
    std::vector<uint8_t> bytes;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    std::fclose(f);
    if (!DecodeWavAsBusPcm(bytes, pcm, error)) {
        *error = path + ": " + *error;
        return false;
    }
    return true;
}

WavWriter::~WavWriter() { Close(); }

bool WavWriter::Open(const std::string& path, std::string* error) {
    Close();
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        *error = "cannot create " + path;
        return false;
    }
    data_bytes_ = 0;
    uint8_t header[44] = {};
    std::fwrite(header, 1, sizeof header, file_);  // filled in by Close()
    return !std::ferror(file_);
}

bool WavWriter::Append(const uint8_t* pcm, size_t size) {
    if (!file_) return false;
    // A RIFF file cannot describe more than 4 GiB; stop before that.
    if (data_bytes_ + size > 0xFFFFFFFFull - 36) return false;
    if (std::fwrite(pcm, 1, size, file_) != size) return false;
    data_bytes_ += size;
    return true;
}

bool WavWriter::Close() {
    if (!file_) return true;
    uint8_t h[44];
    std::memcpy(h, "RIFF", 4);
    Put32(h + 4, uint32_t(36 + data_bytes_));
    std::memcpy(h + 8, "WAVEfmt ", 8);
    Put32(h + 16, 16);
    Put16(h + 20, 1);  // PCM
    Put16(h + 22, uint16_t(kAudioChannels));
    Put32(h + 24, kAudioSampleRate);
    Put32(h + 28, kAudioSampleRate * kAudioBytesPerFrame);
    Put16(h + 32, uint16_t(kAudioBytesPerFrame));
    Put16(h + 34, 16);
    std::memcpy(h + 36, "data", 4);
    Put32(h + 40, uint32_t(data_bytes_));
    bool ok = std::fseek(file_, 0, SEEK_SET) == 0 && std::fwrite(h, 1, sizeof h, file_) == sizeof h;
    ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    return ok;
}

}  // namespace sdk
}  // namespace vhub
