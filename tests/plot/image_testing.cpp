// SPDX-License-Identifier: BSD-3-Clause
#include "image_testing.h"

#include <glib.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

bool updateReferences = false;

namespace {

using SurfacePtr = std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)>;

// The pixels of a for which b has no pixel of like colour near them.
long Unmatched(const Image &a, const Image &b) {
  constexpr int kRadius = 2, kTolerance = 96;
  long count = 0;
  for (int y = 0; y < a.height; ++y)
    for (int x = 0; x < a.width; ++x) {
      const Image::Pixel p = a.At(x, y);
      bool found = false;
      for (int qy = std::max(0, y - kRadius); qy <= std::min(b.height - 1, y + kRadius); ++qy)
        for (int qx = std::max(0, x - kRadius); qx <= std::min(b.width - 1, x + kRadius); ++qx) {
          const Image::Pixel q = b.At(qx, qy);
          found = found || (std::abs(p.r - q.r) <= kTolerance &&
                            std::abs(p.g - q.g) <= kTolerance && std::abs(p.b - q.b) <= kTolerance);
        }
      count += !found;
    }
  return count;
}

// The comparison; with a name, the picture is written when they differ.
::testing::AssertionResult Compare(const Image &image, const Image &expected,
                                   const std::string &name) {
  if (image.width != expected.width || image.height != expected.height || image.rgb.empty())
    return ::testing::AssertionFailure() << name << " is " << image.width << " x "
                                         << image.height << ", the expected " << expected.width
                                         << " x " << expected.height;
  const long a = Unmatched(image, expected), b = Unmatched(expected, image);
  if (std::max(a, b) <= 16) return ::testing::AssertionSuccess();
  if (!name.empty()) WritePng(image, TestOutputPath(name));
  return ::testing::AssertionFailure() << name << ": " << a << " pixels without a match there, "
                                       << b << " the other way (16 at most)";
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
      out[0] = (v >> 16) & 0xFF, out[1] = (v >> 8) & 0xFF, out[2] = v & 0xFF;
    }
  return image;
}

Image ReadPng(const std::string &path) {
  SurfacePtr surface(cairo_image_surface_create_from_png(path.c_str()), cairo_surface_destroy);
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return {};
  return ImageOfSurface(surface.get());
}

bool WritePng(const Image &image, const std::string &path) {
  SurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, image.width, image.height),
                     cairo_surface_destroy);
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

std::string TestOutputPath(const std::string &name) {
  g_mkdir_with_parents(PULVINA_TEST_OUTPUT_DIR, 0755);
  return std::string(PULVINA_TEST_OUTPUT_DIR) + "/" + name;
}

::testing::AssertionResult LooksLike(const Image &image, const Image &expected) {
  return Compare(image, expected, "");
}

::testing::AssertionResult LooksLikeReference(const Image &image, const std::string &folder,
                                              const std::string &name) {
  const std::string reference = folder + "/" + name;
  if (updateReferences && !image.rgb.empty() && WritePng(image, reference))
    return ::testing::AssertionSuccess() << "updated " << reference;
  // tools/update-reference-images.sh makes a missing reference.
  return Compare(image, ReadPng(reference), name);
}

long CountColour(const Image &image, int r, int g, int b, int tolerance, int x0, int y0, int x1,
                 int y1) {
  x1 = x1 < 0 ? image.width : std::min(x1, image.width);
  y1 = y1 < 0 ? image.height : std::min(y1, image.height);
  long count = 0;
  for (int y = std::max(0, y0); y < y1; ++y)
    for (int x = std::max(0, x0); x < x1; ++x) {
      const Image::Pixel p = image.At(x, y);
      count += std::abs(p.r - r) <= tolerance && std::abs(p.g - g) <= tolerance &&
               std::abs(p.b - b) <= tolerance;
    }
  return count;
}
