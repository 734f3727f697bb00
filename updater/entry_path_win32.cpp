#include "updater/entry_path.h"

namespace brindax {

bool is_folder_separator(char c) { return c == '/' || c == '\\'; }

}  // namespace brindax
