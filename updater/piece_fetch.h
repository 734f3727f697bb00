// Fetching planned pieces through the transport, each piece's bytes handed
// in order to a receiver of its own, which checks them before anything is
// made of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "net/transport.h"
#include "updater/piece_plan.h"

namespace brindax {

// Takes one piece's bytes, from its first to its last, in order.
class PieceReceiver {
 public:
  // From the piece's first byte on (again, when a transfer started over).
  virtual void start() = 0;
  // False: the piece is of no use; it gets no more bytes.
  virtual bool take(const unsigned char* data, std::size_t size) = 0;

 protected:
  ~PieceReceiver() = default;
};

// Runs `downloads` (planned for `pieces`), one request each: a range, or
// the whole file as one stream. Answers for each piece whether every one of
// its bytes went to its receiver (`receivers[i]` for `pieces[i]`) and the
// receiver took them all; what the receiver then makes of them is its own
// check. A piece that is cut short or refused is simply not complete.
std::vector<bool> fetch_pieces(Transport& server, const std::vector<WantedPiece>& pieces,
                               const std::vector<PlannedDownload>& downloads,
                               const std::vector<PieceReceiver*>& receivers);

}  // namespace brindax
