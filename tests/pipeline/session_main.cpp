#include <gtest/gtest.h>

#include "platform/mfx/mfx_dispatch.h"

int main(int argc, char** argv) {
  // Tests run from bin/; the engine library is built into lib/, where the plug-in goes.
  tessivar::mfx::SetEngineFolder(TESSIVAR_LIB_DIR);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
