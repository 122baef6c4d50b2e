// The box walk of the MP4 layer: checks the box tree of a file and collects what each
// track's headers say (track id, handler type, sample entry name, ES object type).
#pragma once

#include <cstdint>
#include <vector>

struct Mp4TrackInfo {
  uint32_t id = 0;
  char handler[5] = {0, 0, 0, 0, 0};
  char entryName[5] = {0, 0, 0, 0, 0};
  uint8_t objectType = 0;
};

// Walks the top-level boxes and the whole moov box of the bytes `moov` read from the
// file (fileSize bytes long). False when the tree is unsound: a box that runs past
// its parent, nesting beyond reason, or a sample table whose entry count its box
// cannot hold (or, for a uniform sample size, the file cannot hold).
bool CheckMovieBox(const uint8_t* moov, uint64_t moovSize, uint64_t fileSize, std::vector<Mp4TrackInfo>* tracks);

// Reads size bytes at the file offset, however many reads it takes. False on a read
// error or an early end of the file.
bool ReadAt(int fd, uint8_t* buffer, uint64_t size, uint64_t offset);

// Finds the moov box among the top-level boxes of the file: its offset and size.
// False when there is none, or when a top-level box before it runs past the end.
bool FindMovieBox(int fd, uint64_t fileSize, uint64_t* offset, uint64_t* size);
