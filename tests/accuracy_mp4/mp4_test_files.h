// Where the MP4 test files are: made at test time by make_mp4_corpus.py (CTest
// fixture mp4_corpus) from the generated corpus and the shared VC-1 samples.
#pragma once

#include <unistd.h>

#include <string>

#ifndef TESSIVAR_MP4_CORPUS_DIR
#define TESSIVAR_MP4_CORPUS_DIR ""
#endif

inline std::string Mp4TestFile(const std::string& name) { return std::string(TESSIVAR_MP4_CORPUS_DIR) + "/" + name; }

inline bool Mp4TestFileExists(const std::string& name) { return access(Mp4TestFile(name).c_str(), R_OK) == 0; }
