// Basic types shared by every library of the runtime.
#pragma once

#include <cstdint>

namespace brindax {

// Names a library object: a caller-chosen number (0 or more), or a dynamic
// handle, which is the object's own address. Pointer-sized so that a handle
// fits on every target.
using ObjectId = std::intptr_t;

// Given to a creating operation: make a dynamic object. Given to a close
// operation: close every object of that library.
inline constexpr ObjectId OBJECT_DYNAMIC = -1;

}  // namespace brindax
