// Placeholder until the HTTPS transport is written over net/https_client.h:
// no HTTPS release server can be opened yet.
#include "net/transport.h"

namespace brindax {

std::unique_ptr<Transport> open_https_transport(const char*, std::int32_t) { return nullptr; }

}  // namespace brindax
