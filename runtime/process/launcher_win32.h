// Windows-only helpers of the program launcher.
#pragma once

namespace brindax {

// Replaces an inheritable handle by a non-inheritable duplicate of it and
// closes the original; when the duplicate cannot be made the handle stays as
// it was. `handle` is a Windows HANDLE.
void make_handle_private(void*& handle);

}  // namespace brindax
