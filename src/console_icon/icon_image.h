// An icon's bitmaps as plain bytes, from which another process builds an icon of its own: an icon
// handle is good only in the process that made it, and Windows destroys the icon when that process
// ends. The bytes are a header, the 1-bit mask and, for a colour icon, 32-bit pixels; rows run
// top down.
#ifndef VEMO_CONSOLE_ICON_ICON_IMAGE_H_
#define VEMO_CONSOLE_ICON_ICON_IMAGE_H_

#include <windows.h>

#include <cstddef>
#include <cstdint>

struct IconImageHeader {
  std::uint32_t bytes;   // the whole image, this header included
  std::uint32_t width;   // 1 to 256
  std::uint32_t height;  // 1 to 256
  std::uint32_t colour;  // 1: a colour icon; 0: monochrome, its mask twice as high (AND, then XOR)
};

// The most bytes an image takes: 256x256 at 32 bits with its mask.
constexpr std::size_t kMaxIconImageSize = sizeof(IconImageHeader) + 256 * 32 * 2 + 256 * 256 * 4;

// Writes the image of `icon` into `image`, which has room for `room` bytes. False when `icon` is no
// icon or is larger than 256x256.
bool WriteIconImage(HICON icon, void* image, std::size_t room);

// A new icon of this process's own from the image at `image`, of which `size` bytes may be read.
// Null when they hold no such image: a size past 256x256, lengths that do not add up, too few
// bytes.
HICON MakeIconFromImage(const void* image, std::size_t size);

#endif  // VEMO_CONSOLE_ICON_ICON_IMAGE_H_
