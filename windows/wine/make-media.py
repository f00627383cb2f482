#!/usr/bin/env python3
"""Writes the Wine test's known media: a YUV4MPEG2 video whose every frame
differs from the others in every row (a moving gradient and the frame's
number in each plane), and a WAV of silence for the microphone.

    make-media.py OUT.y4m OUT.wav [FRAMES] [WIDTH HEIGHT]
"""
import struct
import sys


def write_y4m(path, frames, width, height):
    cw, ch = (width + 1) // 2, (height + 1) // 2
    with open(path, "wb") as f:
        f.write(b"YUV4MPEG2 W%d H%d F30:1 Ip A1:1 C420jpeg\n" % (width, height))
        for n in range(frames):
            f.write(b"FRAME\n")
            y = bytearray(width * height)
            for row in range(height):
                base = (row * 3 + n * 7) & 0xFF
                y[row * width:(row + 1) * width] = bytes((base + col) & 0xFF for col in range(width))
            f.write(y)
            f.write(bytes(((n * 11 + i) & 0xFF) for i in range(cw * ch)))
            f.write(bytes(((n * 13 + 3 * i) & 0xFF) for i in range(cw * ch)))


def write_wav(path, seconds):
    rate, channels, bits = 48000, 2, 16
    data = bytes(int(rate * seconds) * channels * bits // 8)
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVE")
        f.write(b"fmt " + struct.pack("<IHHIIHH", 16, 1, channels, rate,
                                      rate * channels * bits // 8, channels * bits // 8, bits))
        f.write(b"data" + struct.pack("<I", len(data)) + data)


def main():
    if len(sys.argv) not in (3, 4, 6):
        sys.exit(__doc__)
    frames = int(sys.argv[3]) if len(sys.argv) > 3 else 30
    width, height = (int(sys.argv[4]), int(sys.argv[5])) if len(sys.argv) == 6 else (480, 360)
    write_y4m(sys.argv[1], frames, width, height)
    write_wav(sys.argv[2], frames / 30.0)


if __name__ == "__main__":
    main()
