// The identifier the kernel gives the running boot. A file stamped with it tells a later open
// whether the page cache that held the file's unsynced pages can still be there (the same boot:
// only the process died) or was lost with the machine (another boot: a power loss or a kernel
// crash may have left any mix of those pages on the disk).
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace quelvane::util {

using BootId = std::array<std::uint8_t, 16>;

// The running boot's identifier, read once per process from /proc/sys/kernel/random/boot_id;
// none where the kernel does not tell it (no /proc), in which case no open can tell a power
// loss from a kill.
std::optional<BootId> current_boot_id();

// A seam for tests: from now on current_boot_id() answers `id` (none: "not known"); reset()
// goes back to the kernel's answer.
void set_boot_id_for_testing(std::optional<BootId> id);
void reset_boot_id_for_testing();

// Whether `stamped` names a boot other than the running one. A stamp of all zero bytes means
// "not known" (files written before boots were recorded), and so does a running boot that
// cannot be read: neither counts as another boot.
bool is_other_boot(const BootId& stamped);

}  // namespace quelvane::util
