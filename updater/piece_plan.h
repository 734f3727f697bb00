// Few downloads for many pieces: the pieces an update needs (binary deltas
// in delta files, entries' bytes in the package) are fetched as few ranges
// as the rules allow, since on a slow link each request costs a round trip.
// Pure: no I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace brindax {

struct WantedPiece {
  std::string remote;        // the remote file it lies in
  std::uint64_t offset = 0;  // where it begins there
  std::uint64_t size = 0;    // > 0
};

struct PlannedDownload {
  std::string remote;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  bool whole = false;                // the whole file: [0, length) fetched as one stream
  std::vector<std::size_t> pieces;   // positions in the wanted pieces, by offset
};

struct PlanRules {
  // Pieces closer than this are one range: a few KiB more on the line cost
  // less than one more request.
  std::uint64_t near_gap = 64 * 1024;
  // Beyond this many ranges, the nearest neighbours of one file are joined
  // until it holds (pieces of different files are never joined).
  std::size_t max_downloads = 24;
};

// The downloads that bring every wanted piece, files in name order, ranges
// by offset. `extents` names the known size of a remote file (a delta file:
// the end of its last piece); when more than half of those bytes are
// wanted, that file is fetched whole.
std::vector<PlannedDownload> plan_downloads(const std::vector<WantedPiece>& pieces,
                                            const std::map<std::string, std::uint64_t>& extents,
                                            const PlanRules& rules = {});

// The bytes the downloads bring.
std::uint64_t planned_bytes(const std::vector<PlannedDownload>& downloads);

}  // namespace brindax
