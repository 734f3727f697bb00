#include "updater/release_manifest.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <string>

namespace brindax {
namespace {

const std::string kD256(64, 'a'), kB256(64, 'b'), kD512(128, 'c');

// A manifest of two files; the first has a delta from an earlier file and
// one from nothing in the same delta file.
std::string sound_text() {
  return "brindax-manifest 1\n"
         "package 5000 " + kD512 + " Brindax release.zip\n"
         "list " + kD512 + "\n"
         "file 100 " + kD256 + " 0 60 8 Brindax.exe\n"
         "delta " + kB256 + " 0 17 " + kD256 + " deltas/x-y.delta\n"
         "delta - 17 40 " + kD256 + " deltas/x-y.delta\n"
         "file 12 " + kB256 + " 120 12 0 data/read me.txt\n";
}

TEST(ReleaseManifest, ParsesAndFormatsBack) {
  const std::optional<ReleaseManifest> manifest = parse_release_manifest(sound_text());
  ASSERT_TRUE(manifest);
  EXPECT_EQ(manifest->package, "Brindax release.zip");
  EXPECT_EQ(manifest->package_size, 5000u);
  EXPECT_EQ(manifest->list_digest[63], 0xcc);
  ASSERT_EQ(manifest->files.size(), 2u);
  const ManifestFile& exe = manifest->files[0];
  EXPECT_EQ(exe.name, "Brindax.exe");
  EXPECT_EQ(exe.size, 100u);
  EXPECT_EQ(exe.compressed_size, 60u);
  EXPECT_EQ(exe.method, 8);
  ASSERT_EQ(exe.deltas.size(), 2u);
  EXPECT_FALSE(exe.deltas[0].from_nothing);
  EXPECT_EQ(exe.deltas[0].base[0], 0xbb);
  EXPECT_EQ(exe.deltas[0].size, 17u);
  EXPECT_TRUE(exe.deltas[1].from_nothing);
  EXPECT_EQ(exe.deltas[1].offset, 17u);
  EXPECT_EQ(exe.deltas[1].file, "deltas/x-y.delta");
  EXPECT_EQ(manifest->files[1].name, "data/read me.txt");
  EXPECT_EQ(manifest->files[1].header_offset, 120u);
  EXPECT_TRUE(manifest->files[1].deltas.empty());
  EXPECT_EQ(format_release_manifest(*manifest), sound_text());
}

TEST(ReleaseManifest, AnythingOutOfPlaceIsRefused) {
  const std::string good = sound_text();
  const auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
  };
  const std::string exe = "file 100 " + kD256 + " 0 60 8 Brindax.exe\n";
  const std::string delta = "delta " + kB256 + " 0 17 " + kD256 + " deltas/x-y.delta\n";
  for (const std::string& bad : {
           std::string(),
           good.substr(0, good.size() - 1),                     // last line without LF
           replaced("brindax-manifest 1", "brindax-manifest 2"),
           replaced("\nlist", "\r\nlist"),
           replaced("\nlist", "\n\nlist"),                      // an empty line
           replaced("package 5000", "package 05000"),
           replaced("package 5000", "package  5000"),
           replaced("package 5000", "package -5000"),
           replaced("package 5000", "package 18446744073709551616"),
           replaced(" Brindax release.zip", " sub/Brindax.zip"),
           replaced(" Brindax release.zip", ""),                // no package name
           replaced("list " + kD512, "list " + kD512 + " x"),
           replaced("list " + kD512, "list " + kD512.substr(1) + "C"),  // upper case
           replaced("list " + kD512, "list " + kD512.substr(2)),        // too short
           good + "comment\n",                                  // an unknown line
           replaced(exe, delta + exe),                          // a delta before any file
           replaced(" 0 60 8 Brindax.exe", " 0 60 9 Brindax.exe"),       // method
           replaced(" 120 12 0 data", " 120 11 0 data"),        // stored, sizes differ
           replaced(" 0 60 8 Brindax.exe", " 4971 60 8 Brindax.exe"),    // beyond the package
           replaced("8 Brindax.exe", "8 ../Brindax.exe"),
           replaced("8 Brindax.exe", "8 LocalVersion.ver"),
           replaced("8 Brindax.exe", "8 NUL.txt"),
           replaced("8 Brindax.exe", "8 data/"),
           replaced("8 Brindax.exe", "8 DATA/Read Me.txt"),     // lands on the other file
           replaced("delta - 17", "delta " + kB256 + " 17"),    // two deltas from one base
           good + "delta - 0 1 " + kD256 + " deltas/z\n" + "delta - 1 1 " + kD256 + " deltas/z\n",
           replaced(" 0 17 ", " 0 0 "),                         // an empty delta
           replaced(" 0 17 ", " 18446744073709551615 17 "),     // ends beyond 2^64
           replaced(" deltas/x-y.delta\ndelta -", " deltas/../Brindax.ver\ndelta -"),
           replaced(" deltas/x-y.delta\ndelta -", " x-y.delta\ndelta -"),
           replaced(" deltas/x-y.delta\ndelta -", " deltas/sub/x.delta\ndelta -"),
           replaced(" deltas/x-y.delta\ndelta -", " deltas/\ndelta -"),
           replaced("delta - 17 40 " + kD256, "delta - 17 40 " + kD256 + " "),
           replaced("delta - 17", "difference - 17"),            // a difference needs a base
           replaced("delta - 17", "difference " + kB256 + " 17"),  // two kinds from one base
           replaced("delta - 17", "Difference - 17"),
           replaced(exe, "executable\n" + exe),               // before any file
           replaced(exe, exe + "executable\nexecutable\n"),   // twice
           replaced(exe + delta, exe + delta + "executable\n"),  // after a delta
           good + "executable\n" + "executable\n",
           replaced(exe, exe + "executable 1\n"),
           replaced(exe, exe + "Executable\n"),
           replaced(exe, exe + "executable \n"),
       }) {
    EXPECT_FALSE(parse_release_manifest(bad)) << bad;
  }
  EXPECT_FALSE(parse_release_manifest(good + std::string(MANIFEST_MAX_BYTES, 'x')));
  // A release without files is a release still.
  EXPECT_TRUE(parse_release_manifest(good.substr(0, good.find("file "))));
}

TEST(ReleaseManifest, DeltaKindsFormatBack) {
  std::string text = sound_text();
  text.replace(text.find("delta " + kB256), 6, "difference ");
  const std::optional<ReleaseManifest> manifest = parse_release_manifest(text);
  ASSERT_TRUE(manifest);
  EXPECT_EQ(manifest->files[0].deltas[0].kind, DeltaKind::difference);
  EXPECT_EQ(manifest->files[0].deltas[0].base[0], 0xbb);
  EXPECT_EQ(manifest->files[0].deltas[1].kind, DeltaKind::zstd_frame);
  EXPECT_EQ(format_release_manifest(*manifest), text);
}

// "executable" goes right after its file line, and only for files the
// package records as executable: a release without any formats as before.
TEST(ReleaseManifest, ExecutableMarksFormatBackAndAreWrittenOnlyWhenSet) {
  const std::string exe = "file 100 " + kD256 + " 0 60 8 Brindax.exe\n";
  const std::string text = sound_text();
  for (const std::string& marked : {
           std::string(text).insert(text.find(exe) + exe.size(), "executable\n"),
           text + "executable\n",  // the last file, which has no deltas
       }) {
    const std::optional<ReleaseManifest> manifest = parse_release_manifest(marked);
    ASSERT_TRUE(manifest) << marked;
    EXPECT_NE(manifest->files[0].executable, manifest->files[1].executable);
    EXPECT_EQ(manifest->files[0].deltas.size(), 2u);
    EXPECT_EQ(format_release_manifest(*manifest), marked);
    ReleaseManifest unmarked = *manifest;
    for (ManifestFile& file : unmarked.files) file.executable = false;
    EXPECT_EQ(format_release_manifest(unmarked), text);
  }
  const std::optional<ReleaseManifest> plain = parse_release_manifest(text);
  ASSERT_TRUE(plain);
  EXPECT_FALSE(plain->files[0].executable || plain->files[1].executable);
}

TEST(ReleaseManifest, CompressedFileIsOneBoundedFrame) {
  const std::string text = sound_text();
  const std::string served = compress_release_manifest(text);
  ASSERT_FALSE(served.empty());
  EXPECT_EQ(decompress_release_manifest(served), text);

  // Quick frames of large texts (the served file's level is slow on them).
  const auto quick_frame = [](const std::string& content) {
    std::string frame(ZSTD_compressBound(content.size()), '\0');
    frame.resize(ZSTD_compress(frame.data(), frame.size(), content.data(), content.size(), 1));
    return frame;
  };
  const std::string big(3u << 20, 'x');  // more than one output chunk
  EXPECT_EQ(decompress_release_manifest(quick_frame(big)), big);
  for (const std::string& bad : {
           std::string(),
           served.substr(0, served.size() - 1),                 // truncated
           served + served,                                     // two frames
           served + "x",                                        // bytes after the frame
           std::string("not zstd at all"),
           quick_frame(std::string(MANIFEST_MAX_BYTES + 1, '\n')),  // too large
       }) {
    EXPECT_FALSE(decompress_release_manifest(bad)) << bad.size();
  }
}

TEST(ReleaseManifest, NamesAndDigests) {
  EXPECT_EQ(manifest_name_for("Brindax.ver"), "Brindax.ver.manifest");
  Digest512 old_list{}, new_list{};
  old_list[0] = 0x01;
  old_list[16] = 0xff;  // beyond the 32 digits kept
  new_list[15] = 0xab;
  EXPECT_EQ(delta_file_name(old_list, new_list),
            "deltas/01000000000000000000000000000000-000000000000000000000000000000ab.delta");
  // BLAKE2b-256 of "abc" (RFC 7693's test vector is for BLAKE2b-512; this
  // one is libsodium's crypto_generichash with a 32-byte output).
  EXPECT_EQ(digest_hex(content_digest("abc")),
            "bddd813c634239723171ef3fee98579b94964e3bb1cb3e427262c8c068d52319");
  ContentHash256 pieces;
  pieces.update("a", 1);
  pieces.update("bc", 2);
  EXPECT_EQ(pieces.finish(), content_digest("abc"));
}

}  // namespace
}  // namespace brindax
