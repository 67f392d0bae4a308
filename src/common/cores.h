#pragma once

#include <cstddef>

namespace corv {

// Cores this process may run on: its CPU affinity, else the hardware's
// count, else 1.
size_t available_cores();

}  // namespace corv
