#include "guard/evidence_cache.h"

#include <cstdio>
#include <string>
#include <vector>

#include "platform/client.h"
#include "protocol/evidence.h"
#include "protocol/message_fields.h"
#include "protocol/rules.h"

namespace vorn::guard {

namespace {

// Entries kept: a game's executable and module, a few versions of each.
constexpr std::size_t kMaxEntries = 32;
constexpr std::size_t kMaxCacheBytes = 8 * 1024;

std::string key_of(const os::FileIdentity& identity) {
  return std::to_string(identity.device) + " " +
         std::to_string(identity.inode) + " " + std::to_string(identity.size) +
         " " + std::to_string(identity.modified_ns) + " " +
         std::to_string(identity.changed_ns);
}

std::string read_cache(const std::string& path) {
  std::string text;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return text;
  text.resize(kMaxCacheBytes);
  text.resize(std::fread(&text[0], 1, text.size(), file));
  std::fclose(file);
  return text;
}

// The newest entries, `line` last; written beside and renamed over, so that
// a reader sees one whole version. Two launches writing at once lose one
// entry, which costs a hash at the next launch.
void keep(const std::string& path, const std::string& text,
          const std::string& line) {
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) break;
    lines.push_back(text.substr(start, end + 1 - start));
    start = end + 1;
  }
  std::string kept;
  const std::size_t first =
      lines.size() >= kMaxEntries ? lines.size() - kMaxEntries + 1 : 0;
  for (std::size_t i = first; i < lines.size(); ++i) kept += lines[i];
  kept += line;
  const std::string fresh =
      path + "." + std::to_string(os::current_process_id());
  std::FILE* file = std::fopen(fresh.c_str(), "wb");
  if (file == nullptr) return;
  const bool written =
      std::fwrite(kept.data(), 1, kept.size(), file) == kept.size();
  if (std::fclose(file) == 0 && written) os::replace_file(fresh, path);
}

}  // namespace

std::string find_in_cache(const std::string& text, const std::string& key) {
  std::string found;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) break;
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    // The newest entry for a key counts.
    if (line.size() == key.size() + 1 + kEvidenceDigits &&
        line.compare(0, key.size(), key) == 0 && line[key.size()] == ' ' &&
        is_hex_text(line.substr(key.size() + 1))) {
      found = line.substr(key.size() + 1);
    }
  }
  return found;
}

bool evidence_of(const std::string& path, bool use_cache, std::string& hex,
                 bool& cached) {
  cached = false;
  os::FileIdentity identity;
  const std::string cache = os::guard_evidence_cache_path();
  const bool versioned = !cache.empty() && os::file_version(path, identity);
  const std::string text = versioned ? read_cache(cache) : std::string();
  if (versioned && use_cache) {
    hex = find_in_cache(text, key_of(identity));
    if (!hex.empty()) {
      cached = true;
      return true;
    }
  }
  if (!file_evidence(path, hex)) return false;
  // Kept only when the file did not change while it was hashed.
  os::FileIdentity after;
  if (versioned && os::file_version(path, after) &&
      key_of(after) == key_of(identity)) {
    keep(cache, text, key_of(identity) + " " + hex + "\n");
  }
  return true;
}

}  // namespace vorn::guard
