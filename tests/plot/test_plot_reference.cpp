// What the plot draws, compared with reference pictures (the scenes are in
// plot_scenes.cpp). tools/update-reference-images.sh rewrites the
// references when a change of the drawing is meant.
#include <gtest/gtest.h>

#include <memory>

#include "image_testing.h"
#include "plot_scenes.h"

namespace {

TEST(PlotReference, EveryScene) {
  for (Scene &scene : ReferenceScenes()) {
    SCOPED_TRACE(scene.name);
    EXPECT_TRUE(LooksLikeReference(Render(scene.figure.get(), scene.width, scene.height),
                                   PULVINA_PLOT_REFERENCE_DIR, scene.name));
  }
}

// Another machine may hint its fonts otherwise; the comparison must not
// call that a difference, or the references would only hold here.
TEST(PlotReference, ComparisonToleratesOtherFontHinting) {
  for (Scene &scene : ReferenceScenes()) {
    const Image plain = Render(scene.figure.get(), scene.width, scene.height);
    for (cairo_hint_style_t style : {CAIRO_HINT_STYLE_NONE, CAIRO_HINT_STYLE_SLIGHT,
                                     CAIRO_HINT_STYLE_MEDIUM, CAIRO_HINT_STYLE_FULL}) {
      const Image hinted = Render(scene.figure.get(), scene.width, scene.height, style);
      EXPECT_TRUE(LooksLike(hinted, plain)) << scene.name << " hinted in style " << style;
    }
  }
}

}  // namespace
