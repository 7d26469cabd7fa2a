#pragma once

#include <filesystem>
#include <string_view>

namespace platform {

// Replaces `target` with exactly `content`: written to a temporary file in the same folder,
// flushed to disk, then renamed over the target, so a crash or a full disk leaves either the
// old file or the new one. On failure the temporary file is removed and false returned.
bool writeFileAtomically(const std::filesystem::path& target, std::string_view content);

}  // namespace platform
