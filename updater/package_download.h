// The package download that survives a dropped connection: the bytes go to
// a file of this program's own that stays when the run ends before the
// package is complete, with a record beside it of what they are, and the
// download continues from where they stop, in the same run and in the next.
#pragma once

#include <cstdint>
#include <functional>

#include "net/transport.h"

namespace brindax {

// Where an install downloads the package, and the record of what a partial
// one holds: a heading line, then the package's remote name, the server's
// size and its identity. Both are names no package entry can have.
inline constexpr const char* PARTIAL_PACKAGE_FILE = "package.brindax-part";
inline constexpr const char* PARTIAL_PACKAGE_RECORD = "package.brindax-part-record";

// At the start of an install: deletes a partial package that could not be
// continued (no record, a record that is not one, or a record alone). One
// that may be continued stays until the download compares it with the
// server's package.
void discard_unusable_partial_package();

// Deletes the partial package and its record.
void discard_partial_package();

// Makes the observer of one pass over the package's bytes from the first
// on; called again when the download has to start over.
using PackageObserverFactory = std::function<DataObserver*()>;

// Downloads `remote` into PARTIAL_PACKAGE_FILE (what `local` names) and
// answers whether the whole package is there; the record is gone then. When
// the server names the package's size and identity, the data goes straight
// into the file: a partial package of the same remote name, size and
// identity is continued (its bytes shown to the observer first), any other
// is replaced. When the data stops before the end while the server still
// answers, the download continues from the bytes received, up to 3 times
// with a short pause; a server that refuses to continue gets one whole
// download more. However often it continues, the download gives up 2.5
// time-outs after the last byte arrived. When the run ends or the download
// fails early, the bytes and their record stay for the next run. A package
// that changed on the server while it was continued is deleted with its
// record. Without size or identity the package is fetched whole as before.
// `options` bound the download (its size, the free space kept); the observer
// is `fresh_observer()` when given, else `options.observer` (and then the
// download cannot start over once it showed it bytes).
bool receive_package(Transport& server, const char* remote, const char* local,
                     const ReceiveOptions& options,
                     const PackageObserverFactory& fresh_observer = {});

}  // namespace brindax
