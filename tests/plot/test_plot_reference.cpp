// What the plot draws, compared with reference pictures (the scenes are in
// plot_scenes.cpp). tools/update-reference-images.sh rewrites the
// references when a change of the drawing is meant.
#include <gtest/gtest.h>

#include "plot_scenes.h"

namespace {

TEST(PlotReference, EveryScene) {
  for (Scene &scene : ReferenceScenes()) {
    SCOPED_TRACE(scene.name);
    const Image plain = Render(scene.figure.get(), scene.width, scene.height);
    EXPECT_TRUE(LooksLikeReference(plain, PULVINA_PLOT_REFERENCE_DIR, scene.name));
    // Another machine may hint its fonts otherwise; the comparison must not
    // call that a difference, or the references would only hold here.
    for (cairo_hint_style_t style : {CAIRO_HINT_STYLE_NONE, CAIRO_HINT_STYLE_FULL})
      EXPECT_TRUE(LooksLike(Render(scene.figure.get(), scene.width, scene.height, style), plain))
          << "hinted in style " << style;
  }
}

}  // namespace
