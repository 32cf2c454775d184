// The guard module's evidence between launches, kept by file version in the
// player's cache folder, so that a repeat launch of an unchanged game reads
// no byte of it. The player may alter the cache at will: the service
// verifies every value anyway, and a refused value is computed again.
#pragma once

#include <string>

namespace vorn::guard {

// The evidence of the file at `path`: from the cache when `use_cache` and
// its version is there (`cached` then true), else computed and kept.
bool evidence_of(const std::string& path, bool use_cache, std::string& hex,
                 bool& cached);

// Lines "<device> <inode> <size> <modified> <changed> <HEX>": the value kept
// for `key` (the first five fields), or empty. Lines that do not parse are
// skipped.
std::string find_in_cache(const std::string& text, const std::string& key);

}  // namespace vorn::guard
