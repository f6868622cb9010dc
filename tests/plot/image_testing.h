// SPDX-License-Identifier: BSD-3-Clause
// Pictures in tests: RGB images, comparison with a reference image under a
// tolerance that survives font hinting, and the update mode that rewrites
// the references (tools/update-reference-images.sh).
#ifndef PULVINA_IMAGE_TESTING_H
#define PULVINA_IMAGE_TESTING_H

#include <cairo.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

// Set by --update-references: reference comparisons write the image they
// were given as the new reference and pass.
extern bool updateReferences;

struct Image {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;  // rows top down, three bytes a pixel
  struct Pixel {
    int r, g, b;
  };
  Pixel At(int x, int y) const;
};

// The pixels of an image surface of format RGB24 or ARGB32, alpha ignored;
// of a PNG file, or none when it cannot be read.
Image ImageOfSurface(cairo_surface_t *surface);
Image ReadPng(const std::string &path);
bool WritePng(const Image &image, const std::string &path);
std::string TestOutputPath(const std::string &name);

// Two images look alike when at most 16 pixels of either lack a pixel of
// like colour (no channel off by more than 96) within two pixels in the
// other. Glyphs hinted in another style move their edges by up to two
// pixels and shade them differently; no pixel of the reference pictures
// lacks a match under any hinting style, while a missing or moved element
// leaves pixels with no match.
::testing::AssertionResult LooksLike(const Image &image, const Image &expected);
// The same against the reference picture of that name in folder; on a
// difference the image goes to the test-output folder.
::testing::AssertionResult LooksLikeReference(const Image &image, const std::string &folder,
                                              const std::string &name);

// The pixels whose colour is within tolerance of (r, g, b), in the
// rectangle (all of the image by default).
long CountColour(const Image &image, int r, int g, int b, int tolerance = 0, int x0 = 0,
                 int y0 = 0, int x1 = -1, int y1 = -1);

#endif
