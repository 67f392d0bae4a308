// Handing the allocator's free pages back to the kernel between stages.
#pragma once

namespace corv {

// Returns to the kernel the pages that malloc holds free in every arena.
// glibc keeps what a thread frees in that thread's arena, where threads
// that run the next stage do not look, and keeps it resident; without this
// a stage's peak stays in the RSS under the next one. A no-op elsewhere.
void release_free_heap() noexcept;

}  // namespace corv
