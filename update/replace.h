// The Replace procedure: restores and checks the package's new files beside the installed ones
// first, then swaps them in by renames, the old ones kept as backups.
#pragma once

#include <cstdint>
#include <string>

#include "locate/locator.h"
#include "platform/platform.h"

namespace kv {

std::wstring SuccessMessage();
std::wstring FailureMessage();

// The packed name of a file: its name with the last character replaced by "_".
std::wstring PackedName(const std::wstring& name);

// How long a step that meets a brief lock (a virus scanner, an indexer or a backup tool holding a
// freshly written or renamed file) is tried again before its failure counts.
inline constexpr std::uint32_t kLockRetryMilliseconds = 2000;
inline constexpr std::uint32_t kLockRetryPauseMilliseconds = 50;

enum class ReplaceOutcome { Updated, Refused, Failed };

// One press of Replace. Shows exactly one message: success, refusal or failure. Whatever the
// outcome, each installed file's previous version is in place or in its backup.
ReplaceOutcome UpdateInstallation(Platform& platform, const Installation& installation);

} // namespace kv
