// Small index files written by the tests, and a fresh source state to read them into.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "source/index_readers.h"

enum class IndexKind { Avc, Mpeg2, Vc1 };

inline const char* MagicOf(IndexKind kind) {
  switch (kind) {
    case IndexKind::Avc: return "VQAVCIndexFileJX14";
    case IndexKind::Mpeg2: return "VQMPGIndexFileJX14";
    default: return "VQVC1IndexFileJX14";
  }
}

inline int ReadIndex(IndexKind kind, SourceState* source, const char* path) {
  switch (kind) {
    case IndexKind::Avc: return ReadAvcIndex(source, path);
    case IndexKind::Mpeg2: return ReadMpeg2Index(source, path);
    default: return ReadVc1Index(source, path);
  }
}

using DisplayList = std::vector<std::pair<int, int>>;

class IndexFileTest : public ::testing::Test {
 public:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "tessivar-index-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    source_ = std::make_unique<SourceState>();
    videoPath_ = WriteFile("video.bin", std::string(4096, '\x47'));
  }

  void TearDown() override {
    ReleaseIndexData(source_.get());
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string WriteFile(const std::string& name, const std::string& content) {
    const std::filesystem::path path = dir_ / name;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }

  // First line, two free lines, the source list (default: the one video file,
  // absolute), its closing empty line, then the keyword lines.
  std::string IndexText(IndexKind kind, const std::string& body, const std::string& sources = "") {
    std::string text = std::string(MagicOf(kind)) + "\nfree text\nmore free text\n";
    text += sources.empty() ? videoPath_ + " 4096\n" : sources;
    return text + "\n" + body;
  }

  int Read(IndexKind kind, const std::string& body, int fieldop = 2) {
    source_->fieldop = fieldop;
    const std::string path = WriteFile("test.vqi", IndexText(kind, body));
    return ReadIndex(kind, source_.get(), path.c_str());
  }

  // The display entries that the clip can serve.
  DisplayList Displays() const {
    DisplayList list;
    for (int i = 0; i < source_->displayFrameCount; ++i) {
      list.emplace_back(source_->frameTable[i].topFrame, source_->frameTable[i].bottomFrame);
    }
    return list;
  }

  static DisplayList Whole(std::initializer_list<int> frames) {
    DisplayList list;
    for (int frame : frames) list.emplace_back(frame, frame);
    return list;
  }

  std::filesystem::path dir_;
  std::unique_ptr<SourceState> source_;
  std::string videoPath_;
};
