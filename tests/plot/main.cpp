// The plot's drawing without a display: scales, layout, what is drawn,
// reference pictures, export and the batch programs' pictures.
//
//   plot_tests [--update-references] [gtest options]
#include <gtest/gtest.h>

#include <cstring>

#include "image_testing.h"

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--update-references") == 0) updateReferences = true;
  return RUN_ALL_TESTS();
}
