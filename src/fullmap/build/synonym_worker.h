// An ingest worker: turns chunks of synonym lines into ids, CURIE rows and
// term postings, spilling them as run files of the shared spill directory.
#pragma once

#include "common/status.h"
#include "fullmap/build/chunk_channel.h"
#include "fullmap/build/ingest_context.h"

namespace corv::fullmap {

inline constexpr char kTooManyPrefixes[] = "too many fullmap prefixes";
inline constexpr char kTooManyCategories[] = "too many fullmap categories";

// Takes chunks until the channel is closed and empty, then spills what it
// still holds and returns success. Returns the first decoding or spill
// error at once, dropping its unspilled terms and rows. Broken invariants
// (an id space running out, a lock left failed by another worker) throw.
// The receiver is released when the worker ends, so producers notice once
// every worker has stopped.
Status worker_loop(ChunkReceiver receiver, IngestContext& context);

}  // namespace corv::fullmap
