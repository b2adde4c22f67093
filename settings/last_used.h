// Clearing of the per-user LastUsed key after a save.
#pragma once

#include "settings/registry.h"

namespace varrow {

// Deletes the direct subkeys of the user's LastUsed key (a subkey that has
// subkeys of its own stays), then LastUsed itself (which stays while it still
// has subkeys). Every failure is silent.
void ClearLastUsed(const RegistryRoots& roots);

}  // namespace varrow
