#include <gtest/gtest.h>

#include "platform/mfx/mfx_dispatch.h"

int main(int argc, char** argv) {
  // The test programs live in bin/, the engine library in lib/ beside where the plug-in goes.
  tessivar::mfx::SetEngineFolder(TESSIVAR_LIB_DIR);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
