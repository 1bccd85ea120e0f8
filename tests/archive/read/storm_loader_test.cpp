// The outside compression provider: without the game's library the built-in
// stand-in serves both entry points.
#include <gtest/gtest.h>

#include "archive/read/provider.h"
#include "sorvane/sorvane.h"

namespace {

TEST(StormLoader, WithoutTheLibraryTheBuiltInProviderStandsIn) {
  // No such library exists on the test machines.
  EXPECT_FALSE(LoadStormLibrary());
  EXPECT_EQ(StormDecompress, &BuiltinProviderDecompress);
  EXPECT_EQ(StormCompress, &BuiltinProviderCompress);
  UnloadStormLibrary();  // nothing loaded: nothing changes
  EXPECT_EQ(StormDecompress, &BuiltinProviderDecompress);
  EXPECT_FALSE(LoadStormLibrary());  // tried again, still absent
}

}  // namespace
