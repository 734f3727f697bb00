// Message requester, the part shared by every platform.
#include "runtime/process/message.h"

namespace brindax {

std::int32_t show_notice(const char* title, const char* text) {
  return show_message(title, text, 0);
}

}  // namespace brindax
