// The folders of one test program of the serving harness, given by its build.
#include "tests/accuracy/serving_harness.h"

const SuiteFolderSet& SuiteFolders() {
  static const SuiteFolderSet folders = {TESSIVAR_LIB_DIR, TESSIVAR_CORPUS_DIR, TESSIVAR_ACCURACY_WORK};
  return folders;
}
