#include "updater/piece_fetch.h"

#include <algorithm>

namespace brindax {
namespace {

struct PieceState {
  std::uint64_t received = 0;
  bool failed = false;
};

// One download on its way: where each of its pieces stands.
struct Transfer {
  const std::vector<WantedPiece>* pieces;
  const PlannedDownload* download;
  const std::vector<PieceReceiver*>* receivers;
  std::vector<PieceState>* states;
  std::uint64_t next_offset = 0;  // where the bytes stopped
  std::size_t first_open = 0;     // pieces before it are complete or failed
};

void restart(Transfer& transfer) {
  for (const std::size_t i : transfer.download->pieces) {
    (*transfer.states)[i] = PieceState{};
    (*transfer.receivers)[i]->start();
  }
  transfer.first_open = 0;
}

bool take_bytes(void* context, std::uint64_t offset, const char* data, std::int32_t n) {
  auto& transfer = *static_cast<Transfer*>(context);
  if (n < 0) return false;
  if (offset < transfer.next_offset) restart(transfer);  // the transfer started over
  transfer.next_offset = offset + static_cast<std::uint64_t>(n);
  const std::uint64_t end = transfer.next_offset;
  const auto& order = transfer.download->pieces;
  bool all_failed = transfer.first_open < order.size();
  for (std::size_t k = transfer.first_open; k < order.size(); ++k) {
    const std::size_t i = order[k];
    const WantedPiece& piece = (*transfer.pieces)[i];
    PieceState& state = (*transfer.states)[i];
    if (piece.offset >= end) {
      all_failed = false;
      break;  // pieces are by offset: none further is reached yet
    }
    if (state.failed || state.received == piece.size) {
      if (k == transfer.first_open) ++transfer.first_open;
      all_failed = all_failed && state.failed;
      continue;
    }
    const std::uint64_t from = std::max(offset, piece.offset + state.received);
    const std::uint64_t to = std::min(end, piece.offset + piece.size);
    if (from != piece.offset + state.received) {
      state.failed = true;  // a gap: bytes of the piece went missing
      continue;
    }
    if (from < to) {
      const auto* bytes = reinterpret_cast<const unsigned char*>(data) + (from - offset);
      if (!(*transfer.receivers)[i]->take(bytes, static_cast<std::size_t>(to - from))) {
        state.failed = true;
        continue;
      }
      state.received += to - from;
    }
    all_failed = false;
  }
  // A transfer that can bring nothing of use any more ends; one whose pieces
  // are all in runs to its end, so that the session stays as the server
  // framed it.
  return !all_failed;
}

}  // namespace

std::vector<bool> fetch_pieces(Transport& server, const std::vector<WantedPiece>& pieces,
                               const std::vector<PlannedDownload>& downloads,
                               const std::vector<PieceReceiver*>& receivers) {
  std::vector<PieceState> states(pieces.size());
  std::vector<bool> complete(pieces.size(), false);
  for (const auto& download : downloads) {
    Transfer transfer{&pieces, &download, &receivers, &states};
    restart(transfer);
    if (download.whole) {
      server.receive_stream(download.remote.c_str(), static_cast<std::int64_t>(download.length),
                            take_bytes, &transfer);
    } else {
      server.receive_range(download.remote.c_str(), download.offset, download.length, take_bytes,
                           &transfer);
    }
    for (const std::size_t i : download.pieces) {
      complete[i] = !states[i].failed && states[i].received == pieces[i].size;
    }
  }
  return complete;
}

}  // namespace brindax
