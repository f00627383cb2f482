// The camera's default picture: colour bars that move a step every frame,
// with the frame number burnt into the top-left corner.
#pragma once
#include <cstdint>
#include <optional>
#include <vector>

namespace vhublab {

// Fills a packed YUY2 frame of width x height (width even).
void DrawPatternFrame(uint32_t frame_number, int width, int height, uint8_t* yuy2);
std::vector<uint8_t> PatternFrame(uint32_t frame_number, int width, int height);

// Reads the burnt-in number back; nullopt when the corner does not hold one
// (another picture, or a frame spliced from two).
std::optional<uint32_t> ReadPatternFrameNumber(const uint8_t* yuy2, int width, int height);

}  // namespace vhublab
