// The built-in brand table and the lookup of the installed brand.
#pragma once

#include "settings/registry.h"

namespace varrow {

struct BrandRecord {
  int id;
  char shortName[64];
  char longName[64];
};

// Rows 1..19 are brands; the last row (id 20, "Max ID") ends the table and is
// never compared.
constexpr int kBrandRows = 20;
extern const BrandRecord BrandTable[kBrandRows];

// Looks the machine-wide Brand value up in the table (exact, case-sensitive
// byte comparison in the thread's ANSI code page). True with the id written to
// *outId; false (key or value missing, more than 119 characters, no row equal)
// with *outId untouched. A found id is cached for the process: later calls
// return it without reading the registry.
bool LookupBrand(const RegistryRoots& roots, int* outId);

// Forgets the cached id, so that a test can start from a fresh process state.
void ResetBrandCacheForTests();

}  // namespace varrow
