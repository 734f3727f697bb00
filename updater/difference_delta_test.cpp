#include "updater/difference_delta.h"

#include <unistd.h>
#include <zstd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "updater/delta_apply.h"

namespace brindax {
namespace {

namespace fs = std::filesystem;

std::string zstd_frame(std::string_view data) {
  std::string frame(ZSTD_compressBound(data.size()), '\0');
  const std::size_t n = ZSTD_compress(frame.data(), frame.size(), data.data(), data.size(), 3);
  EXPECT_FALSE(ZSTD_isError(n));
  frame.resize(n);
  return frame;
}

std::string number(std::uint64_t value) {
  std::string out;
  for (; value >= 0x80; value >>= 7) out += static_cast<char>((value & 0x7F) | 0x80);
  return out + static_cast<char>(value);
}

std::string triple(std::uint64_t add, std::uint64_t extra, std::int64_t seek) {
  const std::uint64_t zigzag = seek < 0 ? (static_cast<std::uint64_t>(-seek) << 1) - 1
                                        : static_cast<std::uint64_t>(seek) << 1;
  return number(add) + number(extra) + number(zigzag);
}

// The delta of six frames as they are.
std::string delta_of(const std::vector<std::string>& frames) {
  std::string delta(DIFFERENCE_MAGIC);
  for (const std::string& frame : frames) {
    for (int i = 0; i < 8; ++i) delta += static_cast<char>((frame.size() >> (8 * i)) & 0xFF);
  }
  for (const std::string& frame : frames) delta += frame;
  return delta;
}

// The delta of a control stream, the difference bytes (put in their sparse
// form) and the extra bytes.
std::string delta_of(const std::string& control, const std::string& difference, const std::string& extra) {
  std::string gaps, lengths, numbers, values;
  const auto count = [&](std::string& stream, std::size_t n) {
    if (n < 255) {
      stream += static_cast<char>(n);
    } else {
      stream += '\xff';
      numbers += number(n);
    }
  };
  for (std::size_t at = 0, start; (start = difference.find_first_not_of('\0', at)) != std::string::npos;) {
    const std::size_t end = std::min(difference.find('\0', start), difference.size());
    count(gaps, start - at);
    count(lengths, end - start);
    values += difference.substr(start, end - start);
    at = end;
  }
  return delta_of({zstd_frame(control), zstd_frame(gaps), zstd_frame(lengths), zstd_frame(numbers),
                   zstd_frame(values), zstd_frame(extra)});
}

// Old: the bytes 0..63. The sound delta's triples: 8 bytes from old 0 plus
// one each, "XYZ", on to old 12; 4 bytes as they are, back to old 0; 2
// bytes as they are, "!".
std::string old_bytes() {
  std::string old(64, '\0');
  for (int i = 0; i < 64; ++i) old[i] = static_cast<char>(i);
  return old;
}
const std::string kControl = triple(8, 3, 4) + triple(4, 0, -16) + triple(2, 1, 0);
const std::string kDifference = std::string(8, '\x01') + std::string(6, '\0');
const std::string kExpected =
    std::string("\x01\x02\x03\x04\x05\x06\x07\x08XYZ\x0c\x0d\x0e\x0f\x00\x01!", 18);

DifferenceResult apply(const std::string& old, const std::string& delta, std::uint64_t size,
                       std::string* out) {
  return apply_difference(reinterpret_cast<const unsigned char*>(old.data()), old.size(), delta, size,
                          [&](const unsigned char* data, std::size_t n) {
                            out->append(reinterpret_cast<const char*>(data), n);
                            return true;
                          });
}

TEST(DifferenceDelta, OnlyASoundDeltaRebuilds) {
  const std::string old = old_bytes();
  const std::string sound = delta_of(kControl, kDifference, "XYZ!");
  std::string garbled = sound;
  garbled[3] ^= 1;
  const std::string padding(3 * 1400, '\0');  // triples that make nothing
  std::string unknown_size_frame(ZSTD_compressBound(4), '\0');
  {
    ZSTD_CCtx* context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, 0);
    ZSTD_outBuffer out{unknown_size_frame.data(), unknown_size_frame.size(), 0};
    ZSTD_inBuffer in{"XYZ!", 4, 0};
    EXPECT_EQ(ZSTD_compressStream2(context, &out, &in, ZSTD_e_end), 0u);
    ZSTD_freeCCtx(context);
    unknown_size_frame.resize(out.pos);
  }
  const auto with_extra_frame = [&](const std::string& frame) {
    std::string delta = delta_of(kControl, kDifference, "XYZ!");
    const std::string sound_frame = zstd_frame("XYZ!");
    delta.replace(delta.size() - sound_frame.size(), sound_frame.size(), frame);
    delta.replace(DIFFERENCE_MAGIC.size() + 5 * 8, 1, 1, static_cast<char>(frame.size()));
    return delta;
  };
  std::string reserved_block = zstd_frame("XYZ!");
  reserved_block[6] |= 0x06;  // the first block's header, after magic, descriptor and size
  const struct {
    const char* what;
    std::string delta;
    std::uint64_t size;
    DifferenceResult expected;
  } cases[] = {
      {"sound", sound, 18, DifferenceResult::rebuilt},
      {"a few empty triples first", delta_of(padding.substr(0, 30) + kControl, kDifference, "XYZ!"), 18,
       DifferenceResult::rebuilt},
      {"control over its bound", delta_of(padding + kControl, kDifference, "XYZ!"), 18,
       DifferenceResult::damaged},
      {"magic", garbled, 18, DifferenceResult::damaged},
      {"header cut", sound.substr(0, 20), 18, DifferenceResult::damaged},
      {"last frame cut", sound.substr(0, sound.size() - 1), 18, DifferenceResult::damaged},
      {"a byte after the frames", sound + "x", 18, DifferenceResult::damaged},
      {"smaller size", sound, 17, DifferenceResult::damaged},
      {"larger size", sound, 19, DifferenceResult::damaged},
      {"control ends early", delta_of(triple(8, 3, 4) + triple(4, 0, -16), kDifference, "XYZ!"), 18,
       DifferenceResult::damaged},
      {"control left over", delta_of(kControl + triple(0, 0, 0), kDifference, "XYZ!"), 18,
       DifferenceResult::damaged},
      {"add past the old end", delta_of(triple(8, 3, 54) + triple(4, 0, -16) + triple(2, 1, 0), kDifference,
                                        "XYZ!"),
       18, DifferenceResult::damaged},
      {"seek past the old end", delta_of(triple(8, 3, 57) + triple(4, 0, -16) + triple(2, 1, 0), kDifference,
                                         "XYZ!"),
       18, DifferenceResult::damaged},
      {"seek before the start", delta_of(triple(8, 3, -9) + triple(4, 0, -16) + triple(2, 1, 0), kDifference,
                                         "XYZ!"),
       18, DifferenceResult::damaged},
      {"add past the new end", delta_of(triple(19, 0, 0), std::string(18, '\0'), ""), 18,
       DifferenceResult::damaged},
      {"streams swapped in size", delta_of(kControl, kDifference + "X", "YZ!"), 18,
       DifferenceResult::damaged},
      {"number over 64 bits", delta_of(std::string(10, '\xff') + '\x01' + kControl, kDifference, "XYZ!"),
       18, DifferenceResult::damaged},
      {"content size not announced", with_extra_frame(unknown_size_frame), 18, DifferenceResult::damaged},
      {"a block of a reserved type", with_extra_frame(reserved_block), 18, DifferenceResult::damaged},
      {"a run of length 0", delta_of({zstd_frame(kControl), zstd_frame(std::string(2, '\0')),
                                      zstd_frame(std::string("\x08\0", 2)), zstd_frame(""),
                                      zstd_frame(std::string(8, '\x01')), zstd_frame("XYZ!")}),
       18, DifferenceResult::damaged},

  };
  for (const auto& c : cases) {
    std::string out;
    EXPECT_EQ(apply(old, c.delta, c.size, &out), c.expected) << c.what;
    if (c.expected == DifferenceResult::rebuilt) {
      EXPECT_EQ(out, kExpected) << c.what;
    }
  }
  // A run of zeros longer than a byte counts (its number in its own stream).
  const std::string long_gap = std::string(299, '\0') + '\x01';
  std::string out;
  EXPECT_EQ(apply(std::string(300, 'a'), delta_of(triple(300, 0, 0), long_gap, ""), 300, &out),
            DifferenceResult::rebuilt);
  EXPECT_EQ(out, std::string(299, 'a') + 'b');
  EXPECT_EQ(apply_difference(reinterpret_cast<const unsigned char*>(old.data()), old.size(), sound, 18,
                             [](const unsigned char*, std::size_t) { return false; }),
            DifferenceResult::sink_refused);
}

// A difference byte is signed and carries into the next byte of its stretch,
// so a moved address differs in its low byte only; the earlier form adds
// byte by byte.
TEST(DifferenceDelta, DifferencesCarryWithinTheirStretch) {
  const struct {
    const char* what;
    std::string_view magic;
    std::string old, control, difference, expected;
  } cases[] = {
      {"a borrow", DIFFERENCE_MAGIC, "\x10\x12\x05", triple(3, 0, 0), std::string("\xe0\0\0", 3), "\xf0\x11\x05"},
      {"a borrow through a zero", DIFFERENCE_MAGIC, std::string("\x10\0\x07", 3), triple(3, 0, 0),
       std::string("\xe0\0\0", 3), "\xf0\xff\x06"},
      {"a carry", DIFFERENCE_MAGIC, "\xf0\x11", triple(2, 0, 0), std::string("\x20\0", 2), "\x10\x12"},
      {"none past a stretch's end", DIFFERENCE_MAGIC, "\x10\x12", triple(1, 0, 0) + triple(1, 0, 0),
       std::string("\xe0\0", 2), "\xf0\x12"},
      {"none in the earlier form", DIFFERENCE_MAGIC_NO_CARRY, "\x10\x12", triple(2, 0, 0),
       std::string("\xe0\0", 2), "\xf0\x12"},
  };
  for (const auto& c : cases) {
    std::string delta = delta_of(c.control, c.difference, "");
    delta.replace(0, c.magic.size(), c.magic);
    std::string out;
    EXPECT_EQ(apply(c.old, delta, c.expected.size(), &out), DifferenceResult::rebuilt) << c.what;
    EXPECT_EQ(out, c.expected) << c.what;
  }
}

// The updater's side: the base mapped from its file, the result written,
// and only the manifest's content counted.
TEST(DifferenceDelta, AppliedToInstalledFiles) {
  const fs::path folder = fs::temp_directory_path() / ("brindax-difference-" + std::to_string(getpid()));
  fs::remove_all(folder);
  fs::create_directories(folder);
  const auto write = [&](const char* name, const std::string& bytes) {
    std::ofstream(folder / name, std::ios::binary) << bytes;
  };
  std::string other_base = old_bytes();
  other_base[13] = 'u';  // the user's own copy of the file
  write("base", old_bytes());
  write("other", other_base);
  write("short", old_bytes().substr(0, 10));
  const std::string delta = delta_of(kControl, kDifference, "XYZ!");
  const Digest256 digest = content_digest(kExpected);
  const fs::path output = folder / "out";
  const struct {
    const char* base;
    DeltaOutcome expected;
  } cases[] = {
      {"base", DeltaOutcome::applied},
      {"other", DeltaOutcome::other_content},
      {"short", DeltaOutcome::corrupt},
      {"missing", DeltaOutcome::no_base},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(apply_difference_file((folder / c.base).string().c_str(), delta, kExpected.size(), digest,
                                    output.string().c_str()),
              c.expected)
        << c.base;
    if (c.expected == DeltaOutcome::applied) {
      std::ifstream in(output, std::ios::binary);
      std::ostringstream got;
      got << in.rdbuf();
      EXPECT_EQ(got.str(), kExpected);
    }
  }
  std::vector<DeltaJob> jobs(1);
  jobs[0].kind = DeltaKind::difference;
  jobs[0].base = (folder / "base").string();
  jobs[0].frame = delta;
  jobs[0].size = kExpected.size();
  jobs[0].digest = digest;
  jobs[0].output = output.string();
  apply_deltas(jobs);
  EXPECT_EQ(jobs[0].outcome, DeltaOutcome::applied);
  fs::remove_all(folder);
}

}  // namespace
}  // namespace brindax
