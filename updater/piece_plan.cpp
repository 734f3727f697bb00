#include "updater/piece_plan.h"

#include <algorithm>
#include <limits>

namespace brindax {
namespace {

std::uint64_t end_of(const PlannedDownload& download) { return download.offset + download.length; }

void join(PlannedDownload& into, PlannedDownload& next) {
  const std::uint64_t end = std::max(end_of(into), end_of(next));
  into.length = end - into.offset;
  into.pieces.insert(into.pieces.end(), next.pieces.begin(), next.pieces.end());
}

}  // namespace

std::vector<PlannedDownload> plan_downloads(const std::vector<WantedPiece>& pieces,
                                            const std::map<std::string, std::uint64_t>& extents,
                                            const PlanRules& rules) {
  std::vector<std::size_t> order(pieces.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    if (pieces[a].remote != pieces[b].remote) return pieces[a].remote < pieces[b].remote;
    return pieces[a].offset < pieces[b].offset;
  });

  std::vector<PlannedDownload> downloads;
  std::map<std::string, std::uint64_t> wanted_bytes;
  for (const std::size_t i : order) {
    const WantedPiece& piece = pieces[i];
    if (piece.size == 0 || piece.offset > std::numeric_limits<std::uint64_t>::max() - piece.size) {
      continue;
    }
    wanted_bytes[piece.remote] += piece.size;
    PlannedDownload next{piece.remote, piece.offset, piece.size, false, {i}};
    if (!downloads.empty() && downloads.back().remote == piece.remote &&
        piece.offset <= end_of(downloads.back()) + rules.near_gap) {
      join(downloads.back(), next);
    } else {
      downloads.push_back(std::move(next));
    }
  }

  // A file of which most is wanted comes whole, in one stream.
  std::vector<PlannedDownload> planned;
  for (auto& download : downloads) {
    const auto extent = extents.find(download.remote);
    const bool whole = extent != extents.end() && extent->second > 0 &&
                       wanted_bytes[download.remote] * 2 > extent->second;
    if (whole && !planned.empty() && planned.back().remote == download.remote) {
      join(planned.back(), download);
      continue;
    }
    if (whole) {
      download.whole = true;
      download.length = std::max(extent->second, end_of(download));
      download.offset = 0;
    }
    planned.push_back(std::move(download));
  }

  // Too many ranges: join the two neighbours of one file with the least
  // between them until few enough are left.
  while (planned.size() > rules.max_downloads) {
    std::size_t best = planned.size();
    std::uint64_t best_gap = std::numeric_limits<std::uint64_t>::max();
    for (std::size_t i = 0; i + 1 < planned.size(); ++i) {
      if (planned[i].remote != planned[i + 1].remote) continue;
      const std::uint64_t gap = planned[i + 1].offset - std::min(planned[i + 1].offset, end_of(planned[i]));
      if (gap < best_gap) {
        best_gap = gap;
        best = i;
      }
    }
    if (best == planned.size()) break;  // every range is a file of its own
    join(planned[best], planned[best + 1]);
    planned.erase(planned.begin() + static_cast<std::ptrdiff_t>(best) + 1);
  }
  return planned;
}

std::uint64_t planned_bytes(const std::vector<PlannedDownload>& downloads) {
  std::uint64_t total = 0;
  for (const auto& download : downloads) total += download.length;
  return total;
}

}  // namespace brindax
