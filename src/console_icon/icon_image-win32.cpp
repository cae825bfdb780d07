// Icons to bytes and back through GDI: GetIconInfo and GetDIBits read an icon's bitmaps, and
// CreateIconIndirect makes an icon from bitmaps, the same under Windows and Wine.
#include "console_icon/icon_image.h"

#include <cstring>

namespace {

// A DIB description with room for the two colours of a 1-bit mask.
struct DibInfo {
  BITMAPINFOHEADER header;
  RGBQUAD colours[2];
};

DibInfo Dib(std::uint32_t width, std::uint32_t rows, WORD bits) {
  DibInfo info = {};
  info.header.biSize = sizeof info.header;
  info.header.biWidth = static_cast<LONG>(width);
  info.header.biHeight = -static_cast<LONG>(rows);  // top down
  info.header.biPlanes = 1;
  info.header.biBitCount = bits;
  info.header.biCompression = BI_RGB;
  info.colours[1].rgbBlue = info.colours[1].rgbGreen = info.colours[1].rgbRed = 0xFF;
  return info;
}

BITMAPINFO* Info(DibInfo& dib) { return reinterpret_cast<BITMAPINFO*>(&dib); }

std::uint32_t MaskRows(const IconImageHeader& h) { return h.colour ? h.height : 2 * h.height; }

// Mask rows are padded to whole 32-bit words.
std::size_t MaskBytes(const IconImageHeader& h) {
  return static_cast<std::size_t>((h.width + 31) / 32 * 4) * MaskRows(h);
}

std::size_t ColourBytes(const IconImageHeader& h) {
  return h.colour ? static_cast<std::size_t>(h.width) * h.height * 4 : 0;
}

// The whole image, header included, as its sizes make it.
std::size_t ImageBytes(const IconImageHeader& h) {
  return sizeof h + MaskBytes(h) + ColourBytes(h);
}

bool Fits(const IconImageHeader& h) {
  return h.width >= 1 && h.width <= 256 && h.height >= 1 && h.height <= 256 && h.colour <= 1;
}

}  // namespace

bool WriteIconImage(HICON icon, void* image, std::size_t room) {
  ICONINFO info;
  if (!icon || !GetIconInfo(icon, &info)) return false;
  BITMAP mask = {};
  GetObjectW(info.hbmMask, sizeof mask, &mask);
  // A monochrome icon has no colour bitmap; its mask holds both halves.
  IconImageHeader h = {0, static_cast<std::uint32_t>(mask.bmWidth),
                       static_cast<std::uint32_t>(mask.bmHeight / (info.hbmColor ? 1 : 2)),
                       info.hbmColor != nullptr};
  bool ok = Fits(h) && ImageBytes(h) <= room;
  if (ok) {
    h.bytes = static_cast<std::uint32_t>(ImageBytes(h));
    auto* bytes = static_cast<unsigned char*>(image);
    std::memcpy(bytes, &h, sizeof h);
    const int rows = static_cast<int>(MaskRows(h)), height = static_cast<int>(h.height);
    DibInfo maskInfo = Dib(h.width, MaskRows(h), 1), colourInfo = Dib(h.width, h.height, 32);
    HDC dc = GetDC(nullptr);
    ok = GetDIBits(dc, info.hbmMask, 0, MaskRows(h), bytes + sizeof h, Info(maskInfo),
                   DIB_RGB_COLORS) == rows &&
         (!h.colour || GetDIBits(dc, info.hbmColor, 0, h.height, bytes + sizeof h + MaskBytes(h),
                                 Info(colourInfo), DIB_RGB_COLORS) == height);
    ReleaseDC(nullptr, dc);
  }
  DeleteObject(info.hbmMask);
  if (info.hbmColor) DeleteObject(info.hbmColor);
  return ok;
}

HICON MakeIconFromImage(const void* image, std::size_t size) {
  IconImageHeader h;
  if (size < sizeof h) return nullptr;
  std::memcpy(&h, image, sizeof h);
  if (!Fits(h) || h.bytes != ImageBytes(h) || h.bytes > size) {
    return nullptr;
  }
  const auto* bytes = static_cast<const unsigned char*>(image) + sizeof h;
  const int rows = static_cast<int>(MaskRows(h));
  DibInfo maskInfo = Dib(h.width, MaskRows(h), 1), colourInfo = Dib(h.width, h.height, 32);
  HDC dc = GetDC(nullptr);
  ICONINFO info = {TRUE, 0, 0, CreateBitmap(static_cast<int>(h.width), rows, 1, 1, nullptr),
                   nullptr};
  bool ok = info.hbmMask && SetDIBits(dc, info.hbmMask, 0, MaskRows(h), bytes, Info(maskInfo),
                                      DIB_RGB_COLORS) == rows;
  if (ok && h.colour) {
    // A 32-bit DIB section keeps the alpha channel, which a bitmap of the screen's format may not.
    void* pixels = nullptr;
    info.hbmColor = CreateDIBSection(dc, Info(colourInfo), DIB_RGB_COLORS, &pixels, nullptr, 0);
    ok = info.hbmColor != nullptr;
    if (ok) std::memcpy(pixels, bytes + MaskBytes(h), ColourBytes(h));
  }
  ReleaseDC(nullptr, dc);
  HICON icon = ok ? CreateIconIndirect(&info) : nullptr;
  if (info.hbmMask) DeleteObject(info.hbmMask);
  if (info.hbmColor) DeleteObject(info.hbmColor);
  return icon;
}
