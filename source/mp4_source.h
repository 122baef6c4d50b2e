// The MP4 source glue (stream kind 4): opens the first source file as MP4, chooses
// the video track, and prepares one sample at a time in sourceBuffer as
// elementary-stream bytes for the elementary-stream getter.
#pragma once

#include <cstdint>

#include "source/source_state.h"

// 0 when a video track was chosen: the first with at least one sample inside the file
// whose entry is of the clip's codec ("avc1" for AVC, "mp4v" with an MPEG-2 object type
// (0x60-0x65) for MPEG-2, "vc-1" for VC-1); 1 when the file cannot be read as MP4, or
// when the chosen AVC track's parameter sets cannot be taken from its configuration;
// 2 when no track fits.
int32_t OpenMp4VideoTrack(SourceState* source);

// Prepares the first sample whose start time is at or after `time` (a time in the
// video track's time scale). AVC: the track's parameter sets stand ahead of it. When
// no such sample can be read, the buffer is left empty and the byte stream ends.
void SeekReadMp4Sample(SourceState* source, uint64_t time);

// Prepares the sample after the one last prepared: 0, or -1 when it cannot be read
// (past the last sample, among others).
int32_t ReadNextMp4Sample(SourceState* source);

// Closes the file and frees the parameter sets; safe to call when nothing is open.
void ReleaseMp4Source(SourceState* source);
