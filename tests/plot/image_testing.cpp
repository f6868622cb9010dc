#include "image_testing.h"

#include <glib.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

bool updateReferences = false;

namespace {

struct SurfaceDeleter {
  void operator()(cairo_surface_t *s) const { cairo_surface_destroy(s); }
};
using SurfacePtr = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;

// For each pixel of a, whether b has a pixel of like colour near it.
long Unmatched(const Image &a, const Image &b, int radius, int tolerance,
               std::vector<uint8_t> *mask) {
  long count = 0;
  for (int y = 0; y < a.height; ++y)
    for (int x = 0; x < a.width; ++x) {
      const Image::Pixel p = a.At(x, y);
      bool found = false;
      for (int dy = -radius; dy <= radius && !found; ++dy)
        for (int dx = -radius; dx <= radius && !found; ++dx) {
          const int qx = x + dx, qy = y + dy;
          if (qx < 0 || qy < 0 || qx >= b.width || qy >= b.height) continue;
          const Image::Pixel q = b.At(qx, qy);
          found = std::abs(p.r - q.r) <= tolerance && std::abs(p.g - q.g) <= tolerance &&
                  std::abs(p.b - q.b) <= tolerance;
        }
      if (!found) {
        ++count;
        if (mask) (*mask)[static_cast<size_t>(y) * a.width + x] = 1;
      }
    }
  return count;
}

}  // namespace

Image::Pixel Image::At(int x, int y) const {
  const uint8_t *p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
  return {p[0], p[1], p[2]};
}

Image ImageOfSurface(cairo_surface_t *surface) {
  Image image;
  cairo_surface_flush(surface);
  const cairo_format_t format = cairo_image_surface_get_format(surface);
  if (format != CAIRO_FORMAT_RGB24 && format != CAIRO_FORMAT_ARGB32) return image;
  image.width = cairo_image_surface_get_width(surface);
  image.height = cairo_image_surface_get_height(surface);
  image.rgb.resize(static_cast<size_t>(image.width) * image.height * 3);
  const unsigned char *data = cairo_image_surface_get_data(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.width; ++x) {
      // Native-endian 32-bit words, 0xAARRGGBB.
      const uint32_t v = *reinterpret_cast<const uint32_t *>(data + y * stride + x * 4);
      uint8_t *out = &image.rgb[(static_cast<size_t>(y) * image.width + x) * 3];
      out[0] = (v >> 16) & 0xFF;
      out[1] = (v >> 8) & 0xFF;
      out[2] = v & 0xFF;
    }
  return image;
}

Image ReadPng(const std::string &path) {
  SurfacePtr surface(cairo_image_surface_create_from_png(path.c_str()));
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return {};
  return ImageOfSurface(surface.get());
}

bool WritePng(const Image &image, const std::string &path) {
  SurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, image.width, image.height));
  unsigned char *data = cairo_image_surface_get_data(surface.get());
  const int stride = cairo_image_surface_get_stride(surface.get());
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.width; ++x) {
      const Image::Pixel p = image.At(x, y);
      *reinterpret_cast<uint32_t *>(data + y * stride + x * 4) =
          0xFF000000u | (static_cast<uint32_t>(p.r) << 16) | (static_cast<uint32_t>(p.g) << 8) |
          static_cast<uint32_t>(p.b);
    }
  cairo_surface_mark_dirty(surface.get());
  return cairo_surface_write_to_png(surface.get(), path.c_str()) == CAIRO_STATUS_SUCCESS;
}

::testing::AssertionResult LooksLike(const Image &image, const Image &expected,
                                     long maxUnmatched) {
  if (image.width != expected.width || image.height != expected.height)
    return ::testing::AssertionFailure() << "sizes differ: " << image.width << " x "
                                         << image.height << " and " << expected.width << " x "
                                         << expected.height;
  const long unmatched =
      std::max(Unmatched(image, expected, kMatchRadius, kMatchTolerance, nullptr),
               Unmatched(expected, image, kMatchRadius, kMatchTolerance, nullptr));
  if (unmatched <= maxUnmatched) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << unmatched << " pixels without a match (at most "
                                       << maxUnmatched << ")";
}

std::string TestOutputPath(const std::string &name) {
  g_mkdir_with_parents(PULVINA_TEST_OUTPUT_DIR, 0755);
  return std::string(PULVINA_TEST_OUTPUT_DIR) + "/" + name;
}

::testing::AssertionResult LooksLikeReference(const Image &image, const std::string &folder,
                                              const std::string &name, long maxUnmatched) {
  const std::string reference = folder + "/" + name;
  if (image.Empty()) return ::testing::AssertionFailure() << name << ": no picture to compare";
  if (updateReferences) {
    if (!WritePng(image, reference))
      return ::testing::AssertionFailure() << "cannot write " << reference;
    return ::testing::AssertionSuccess() << "updated " << reference;
  }
  WritePng(image, TestOutputPath(name));
  const Image expected = ReadPng(reference);
  if (expected.Empty())
    return ::testing::AssertionFailure()
           << "no reference picture " << reference
           << " (tools/update-reference-images.sh makes it)";
  if (expected.width != image.width || expected.height != image.height)
    return ::testing::AssertionFailure() << name << " is " << image.width << " x " << image.height
                                         << ", its reference " << expected.width << " x "
                                         << expected.height;
  std::vector<uint8_t> maskA(static_cast<size_t>(image.width) * image.height, 0),
      maskB(maskA.size(), 0);
  const long a = Unmatched(image, expected, kMatchRadius, kMatchTolerance, &maskA);
  const long b = Unmatched(expected, image, kMatchRadius, kMatchTolerance, &maskB);
  if (std::max(a, b) <= maxUnmatched) return ::testing::AssertionSuccess();
  // The differences in red (only in the picture) and blue (only in the
  // reference) over a faded copy of the reference.
  Image map = expected;
  for (size_t i = 0; i < maskA.size(); ++i) {
    uint8_t *p = &map.rgb[i * 3];
    for (int c = 0; c < 3; ++c) p[c] = static_cast<uint8_t>(191 + p[c] / 4);
    if (maskA[i]) p[0] = 255, p[1] = 0, p[2] = 0;
    if (maskB[i]) p[0] = maskA[i] ? 255 : 0, p[1] = 0, p[2] = 255;
  }
  const std::string stem = name.substr(0, name.rfind('.'));
  WritePng(map, TestOutputPath(stem + "-difference.png"));
  return ::testing::AssertionFailure()
         << name << " differs from its reference: " << a << " pixels without a match in the "
         << "reference, " << b << " the other way (at most " << maxUnmatched
         << "); see " << TestOutputPath(name) << " and " << TestOutputPath(stem + "-difference.png");
}

long CountColour(const Image &image, int r, int g, int b, int tolerance, int x0, int y0, int x1,
                 int y1) {
  if (x1 < 0) x1 = image.width;
  if (y1 < 0) y1 = image.height;
  long count = 0;
  for (int y = std::max(0, y0); y < std::min(y1, image.height); ++y)
    for (int x = std::max(0, x0); x < std::min(x1, image.width); ++x) {
      const Image::Pixel p = image.At(x, y);
      count += std::abs(p.r - r) <= tolerance && std::abs(p.g - g) <= tolerance &&
               std::abs(p.b - b) <= tolerance;
    }
  return count;
}
