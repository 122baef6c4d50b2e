// The source object: the decode pipeline and the source side in one object. The
// pipeline's decode run, bitstream reader and delivery step are given this object
// as their owner and reach the source side through its SourceState part.
#pragma once

#include "pipeline/pipeline_decode.h"
#include "source/source_state.h"

class SourceDecoder : public CDecodingPipeline, public SourceState {};
