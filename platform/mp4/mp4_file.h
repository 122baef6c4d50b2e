// Reading MP4 files: tracks, their sample descriptions and their samples, as the
// MP4 source glue uses them. Written over libavformat's MP4 demuxer (for the sample
// tables) and a box walk of our own (for the track headers, and to refuse tables
// whose counts the file cannot hold before anything is allocated for them).
//
// Track ids are the file's own (tkhd); tracks are counted from 0 in the order of the
// file. Sample ids count from 1 in the track's own sample table, in decode order.
// Sample times are decode times in the track's time scale as the time-to-sample
// table gives them (the first sample at 0): edit lists are not applied.
//
// A handle is used by one thread at a time.
#pragma once

#include <cstdint>

struct Mp4File;
using MP4FileHandle = Mp4File*;
using MP4TrackId = uint32_t;
using MP4SampleId = uint32_t;
using MP4Timestamp = uint64_t;
using MP4Duration = uint64_t;

// Opens the file; null when it cannot be read as MP4 (no moov box, a box that runs
// past its parent, a sample table whose entry count its box cannot hold). verbosity
// 0 prints nothing of ours.
MP4FileHandle MP4Read(const char* fileName, uint32_t verbosity);
void MP4Close(MP4FileHandle file);

// Tracks whose handler type is `type` ("vide", "soun", ...), every track when type is
// null. subType is not used.
uint32_t MP4GetNumberOfTracks(MP4FileHandle file, const char* type, uint8_t subType);
// The id of the index-th such track; 0 when there is none.
MP4TrackId MP4FindTrackId(MP4FileHandle file, uint16_t index, const char* type, uint8_t subType);

// The handler type ("vide" for video), and the name of the first sample entry
// ("avc1", "mp4v", "vc-1", ...). Null for an unknown track.
const char* MP4GetTrackType(MP4FileHandle file, MP4TrackId track);
const char* MP4GetTrackMediaDataName(MP4FileHandle file, MP4TrackId track);
// objectTypeIndication of the sample entry's decoder configuration (esds); 0 when the
// entry has none.
uint8_t MP4GetTrackEsdsObjectTypeId(MP4FileHandle file, MP4TrackId track);

// The sequence and picture parameter sets of an "avc1" track's avcC: two arrays of
// malloc'd sets and two arrays of their sizes, each size array ending with a 0 entry
// (and each set array with a null). False (outputs null) when the track has no avcC.
// Free them with MP4FreeH264SeqPictHeaders.
bool MP4GetTrackH264SeqPictHeaders(MP4FileHandle file, MP4TrackId track, uint8_t*** seqHeaders,
                                   uint32_t** seqHeaderSizes, uint8_t*** pictHeaders, uint32_t** pictHeaderSizes);
void MP4FreeH264SeqPictHeaders(uint8_t** seqHeaders, uint32_t* seqHeaderSizes, uint8_t** pictHeaders,
                               uint32_t* pictHeaderSizes);
// The byte size of the NAL unit lengths in the track's samples (1 to 4).
bool MP4GetTrackH264LengthSize(MP4FileHandle file, MP4TrackId track, uint32_t* lengthSize);

uint32_t MP4GetTrackTimeScale(MP4FileHandle file, MP4TrackId track);
// The samples of the track up to the first whose bytes do not lie inside the file.
MP4SampleId MP4GetTrackNumberOfSamples(MP4FileHandle file, MP4TrackId track);
// The sample's decode time; all bits set for a sample id outside the track.
MP4Timestamp MP4GetSampleTime(MP4FileHandle file, MP4TrackId track, MP4SampleId sample);

// Reads a sample's bytes from the file in one read. With *bytes null on entry the
// buffer is allocated here with malloc and the caller frees it with free; otherwise
// *bytes is the caller's buffer of *numBytes bytes. The other outputs may be null.
// False when the sample cannot be read: an id outside the track (also past the last
// sample), bytes that lie past the end of the file, a failed read or allocation.
bool MP4ReadSample(MP4FileHandle file, MP4TrackId track, MP4SampleId sample, uint8_t** bytes,
                   uint32_t* numBytes, MP4Timestamp* startTime, MP4Duration* duration,
                   MP4Duration* renderingOffset, bool* isSyncSample);
