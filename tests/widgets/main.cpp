// The widget tests need a display; run them under xvfb-run.
//
//   widget_tests [--expect-no-opengl] [--update-references] [gtest options]
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <cstring>

#include "widget_testing.h"

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--expect-no-opengl") == 0) expectNoOpenGL = true;
    else if (std::strcmp(argv[i], "--update-references") == 0) updateReferences = true;
  if (!gtk_init_check(&argc, &argv)) {
    std::fprintf(stderr, "widget_tests: no display; run under xvfb-run\n");
    return 1;
  }
  return RUN_ALL_TESTS();
}
