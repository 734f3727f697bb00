#include "publish/release_deltas.h"

#include <zstd.h>

#include <memory>

#include "publish/difference_maker.h"
#include "updater/release_manifest.h"

namespace brindax::publish {
namespace {

using Compressor = std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)>;
using Decompressor = std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)>;

// The smallest window log that covers `bytes` (at least libzstd's minimum).
int window_log_for(std::uint64_t bytes) {
  int log = 10;  // libzstd's smallest window
  while (log < DELTA_WINDOW_LOG_MAX && (std::uint64_t{1} << log) < bytes) ++log;
  return log;
}

bool set(ZSTD_CCtx* context, ZSTD_cParameter parameter, int value) {
  return !ZSTD_isError(ZSTD_CCtx_setParameter(context, parameter, value));
}

}  // namespace

std::string make_delta_frame(std::string_view base, std::string_view content) {
  Compressor context(ZSTD_createCCtx(), &ZSTD_freeCCtx);
  if (!context) return {};
  ZSTD_CCtx* c = context.get();
  // libzstd lowers the level's table sizes to what the two files need, so a
  // small file costs little memory at the strongest level.
  if (!set(c, ZSTD_c_compressionLevel, ZSTD_maxCLevel()) ||
      !set(c, ZSTD_c_enableLongDistanceMatching, 1) ||
      !set(c, ZSTD_c_windowLog, window_log_for(base.size() + content.size())) ||
      !set(c, ZSTD_c_checksumFlag, 0) || !set(c, ZSTD_c_contentSizeFlag, 1)) {
    return {};
  }
  if (!base.empty() && ZSTD_isError(ZSTD_CCtx_refPrefix(c, base.data(), base.size()))) return {};
  std::string frame(ZSTD_compressBound(content.size()), '\0');
  const std::size_t written = ZSTD_compress2(c, frame.data(), frame.size(), content.data(), content.size());
  if (ZSTD_isError(written)) return {};
  frame.resize(written);
  return frame;
}

std::optional<std::string> apply_delta_frame(std::string_view base, std::string_view frame,
                                             std::uint64_t size) {
  // The frame names its content's size; it must be the size expected.
  if (ZSTD_findFrameCompressedSize(frame.data(), frame.size()) != frame.size() ||
      ZSTD_getFrameContentSize(frame.data(), frame.size()) != size || size > DELTA_MAX_FILE_BYTES) {
    return std::nullopt;
  }
  Decompressor context(ZSTD_createDCtx(), &ZSTD_freeDCtx);
  if (!context ||
      ZSTD_isError(ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, DELTA_WINDOW_LOG_MAX)) ||
      (!base.empty() && ZSTD_isError(ZSTD_DCtx_refPrefix(context.get(), base.data(), base.size())))) {
    return std::nullopt;
  }
  std::string content(static_cast<std::size_t>(size), '\0');
  const std::size_t got =
      ZSTD_decompressDCtx(context.get(), content.data(), content.size(), frame.data(), frame.size());
  if (ZSTD_isError(got) || got != size) return std::nullopt;
  return content;
}

void take_smaller_difference(std::string_view base, std::string_view content, DeltaKind* kind,
                             std::string* bytes) {
  std::optional<std::string> difference = make_difference_delta(base, content);
  if (difference && difference->size() < bytes->size()) {
    *bytes = std::move(*difference);
    *kind = DeltaKind::difference;
  }
}

bool delta_is_worth_it(bool from_nothing, std::uint64_t frame_size, std::uint64_t compressed_size,
                       std::uint64_t header_size) {
  if (from_nothing) return frame_size < compressed_size + header_size;
  return frame_size <= compressed_size - compressed_size / 10 && frame_size < compressed_size;
}

}  // namespace brindax::publish
