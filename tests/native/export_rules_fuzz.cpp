// Fuzz target of the export-table rules of the monitor copy: rule 0 damages
// the headers and tables of a well-formed library and of a monitor as built
// at fuzzer-chosen places (every read stays within the file, a refusal leaves
// the copy unchanged); rule 1 builds originals of every shape (ordinal bases,
// gaps, names by ordinal only, data exports, names shared with the monitor,
// too many extras) and checks what the rewritten copy exports.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "monitoring/export_rules.h"
#include "monitoring/forward_block.h"
#include "tests/native/fuzz_promise.h"

namespace {

using varrow::ExportSlot;
using varrow::ExportTable;
using Bytes = std::vector<std::uint8_t>;

void Put(Bytes& b, std::size_t at, std::uint32_t v, int width) {
  for (int i = 0; i < width; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

struct SlotShape {
  std::uint32_t rva = 0;  // 0: unused; below 0x2000 code, else data
  std::vector<std::string> names;
};

constexpr std::uint32_t kText = 0x1000, kTextRaw = 0x400, kTextSize = 0x800;
constexpr std::uint32_t kEdata = 0x2000, kEdataRaw = 0xC00;

// A library with the given export slots (and the forwarding block when `block`).
Bytes Build(bool wide, std::uint32_t base, const std::vector<SlotShape>& slots, bool block) {
  std::vector<std::pair<std::string, std::uint32_t>> names;
  for (std::size_t i = 0; i < slots.size(); ++i)
    for (const std::string& n : slots[i].names) names.emplace_back(n, static_cast<std::uint32_t>(i));
  std::sort(names.begin(), names.end());
  std::size_t edata = 40 + 4 * slots.size() + 6 * names.size() + 16;
  for (const auto& n : names) edata += n.first.size() + 1;
  const std::uint32_t edataRawSize = static_cast<std::uint32_t>((edata + 0x1FF) & ~std::size_t{0x1FF});
  const std::uint32_t vfwd = kEdata + ((edataRawSize + 0xFFF) & ~0xFFFu);
  const std::uint32_t vfwdRaw = kEdataRaw + edataRawSize;
  Bytes b(vfwdRaw + (block ? forward::kBlockBytes : 0), 0);
  b[0] = 'M';
  b[1] = 'Z';
  Put(b, 0x3c, 0x40, 4);
  std::memcpy(&b[0x40], "PE\0\0", 4);
  const std::uint32_t optionalSize = wide ? 240 : 224, opt = 0x58;
  Put(b, 0x44, wide ? 0x8664 : 0x14c, 2);
  Put(b, 0x46, block ? 3 : 2, 2);
  Put(b, 0x54, optionalSize, 2);
  Put(b, opt, wide ? 0x20b : 0x10b, 2);
  Put(b, opt + (wide ? 108 : 92), 16, 4);
  Put(b, opt + (wide ? 112 : 96), kEdata, 4);
  Put(b, opt + (wide ? 116 : 100), static_cast<std::uint32_t>(edata), 4);
  const std::uint32_t sec = opt + optionalSize;
  const auto section = [&](int i, const char* name, std::uint32_t va, std::uint32_t raw, std::uint32_t size,
                           std::uint32_t flags) {
    std::memcpy(&b[sec + 40 * i], name, std::strlen(name));
    Put(b, sec + 40 * i + 8, size, 4);
    Put(b, sec + 40 * i + 12, va, 4);
    Put(b, sec + 40 * i + 16, size, 4);
    Put(b, sec + 40 * i + 20, raw, 4);
    Put(b, sec + 40 * i + 36, flags, 4);
  };
  section(0, ".text", kText, kTextRaw, kTextSize, 0x60000020);
  section(1, ".edata", kEdata, kEdataRaw, edataRawSize, 0x40000040);
  if (block) {
    section(2, ".vfwd", vfwd, vfwdRaw, forward::kBlockBytes, 0x40000040);
    std::memcpy(&b[vfwdRaw], forward::kBlockMagic, 8);
    Put(b, vfwdRaw + 8, forward::kPoolSize, 4);
    Put(b, vfwdRaw + 12, forward::kBlockBytes, 4);
  }
  const std::uint32_t d = kEdataRaw, eat = 40, npt = eat + 4 * static_cast<std::uint32_t>(slots.size());
  const std::uint32_t ord = npt + 4 * static_cast<std::uint32_t>(names.size());
  std::uint32_t text = ord + 2 * static_cast<std::uint32_t>(names.size());
  Put(b, d + 16, base, 4);
  Put(b, d + 20, static_cast<std::uint32_t>(slots.size()), 4);
  Put(b, d + 24, static_cast<std::uint32_t>(names.size()), 4);
  Put(b, d + 28, kEdata + eat, 4);
  Put(b, d + 32, kEdata + npt, 4);
  Put(b, d + 36, kEdata + ord, 4);
  for (std::size_t i = 0; i < slots.size(); ++i) Put(b, d + eat + 4 * i, slots[i].rva, 4);
  for (std::size_t i = 0; i < names.size(); ++i) {
    Put(b, d + npt + 4 * i, kEdata + text, 4);
    Put(b, d + ord + 2 * i, names[i].second, 2);
    std::memcpy(&b[d + text], names[i].first.data(), names[i].first.size());
    text += static_cast<std::uint32_t>(names[i].first.size()) + 1;
  }
  return b;
}

const char* const kOwn[] = {"PassThruClose", "PassThruIoctl", "PassThruOpen"};

Bytes Monitor(bool wide) {
  std::vector<SlotShape> slots;
  for (int i = 0; i < 3; ++i) slots.push_back({kText + 16u * i, {kOwn[i]}});
  for (std::uint32_t i = 0; i < forward::kPoolSize; ++i)
    slots.push_back({kText + 0x100 + 16 * i, {forward::kPlaceholderPrefix + std::to_string(i)}});
  return Build(wide, 1, slots, true);
}

// Rewrites a copy of `monitor` for `original`; a refusal leaves it unchanged.
void Rewrite(const Bytes& monitor, const ExportTable& original, bool checkResult) {
  Bytes copy = monitor;
  varrow::ForwardPlan plan;
  std::string problem;
  if (!varrow::WriteForwardingTable(&copy, original, &plan, &problem)) {
    PROMISE("write", copy == monitor && !problem.empty());
    return;
  }
  PROMISE("write", plan.forwarded.size() <= forward::kPoolSize);
  PROMISE("write", !varrow::IsForwardingMonitor(copy.data(), copy.size()));
  ExportTable written;
  if (!varrow::ReadExportTable(copy.data(), copy.size(), &written, &problem)) {
    std::fprintf(stderr, "unreadable after writing: %s\n", problem.c_str());
    PROMISE("write", false);
  }
  PROMISE("write", std::adjacent_find(written.nameOrder.begin(), written.nameOrder.end(),
                                      [](const std::string& a, const std::string& b) { return a >= b; }) ==
                       written.nameOrder.end());
  if (!checkResult) return;
  // Every function of the original is there by name, or at its ordinal; no data export is.
  std::set<std::string> names(written.nameOrder.begin(), written.nameOrder.end());
  std::set<std::string> code;
  for (std::size_t i = 0; i < original.slots.size(); ++i) {
    const ExportSlot& s = original.slots[i];
    if (s.kind != ExportSlot::Kind::Code) continue;
    for (const std::string& n : s.names) {
      PROMISE("write", names.count(n) == 1);
      code.insert(n);
    }
    if (s.names.empty()) {
      PROMISE("write", written.base == original.base && i < written.slots.size() &&
                           written.slots[i].kind == ExportSlot::Kind::Code);
    }
  }
  for (const ExportSlot& s : original.slots) {
    if (s.kind != ExportSlot::Kind::Data) continue;
    for (const std::string& n : s.names) {
      const bool own = std::find(std::begin(kOwn), std::end(kOwn), n) != std::end(kOwn);
      PROMISE("write", names.count(n) == 0 || own || code.count(n) == 1);
    }
  }
  for (const char* own : kOwn) PROMISE("write", names.count(own) == 1);
}

// An original from the fuzzer's bytes.
std::vector<SlotShape> Original(const std::uint8_t* data, std::size_t size, std::uint32_t* base) {
  static const char* const kNames[] = {"PassThruOpen", "VendorScan", "VendorFlash", "A", "B", "a", "Z_", "PassThruIoctl"};
  *base = size > 0 ? (data[0] < 250 ? 1u + data[0] : 65400u + data[0]) : 1;
  std::vector<SlotShape> slots;
  for (std::size_t i = 1; i + 1 < size && slots.size() < 150; i += 2) {
    SlotShape s;
    const int kind = data[i] % 4;
    s.rva = kind == 0 ? 0 : kind == 3 ? kEdata + 4 : kText + (data[i + 1] % 0x70) * 16;
    if (data[i + 1] & 1) s.names.push_back(kNames[(data[i] >> 2) % 8]);
    if (data[i + 1] & 2) s.names.push_back("F" + std::to_string(i));
    if ((data[i + 1] & 0xF0) == 0xF0) s.names.push_back(std::string(data[i] * 3, 'L'));
    slots.push_back(s);
  }
  return slots;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* rule = std::getenv("VARROW_FUZZ_RULE");
  const bool wide = size > 0 && (data[size - 1] & 1) != 0;
  if (rule == nullptr || rule[0] == '0') {
    // Damage at chosen places: 4-byte writes (offset, value) into a library and a monitor.
    std::vector<SlotShape> slots = {{kText, {"VendorScan"}}, {kText + 16, {}}, {kEdata + 4, {"Data"}},
                               {kText + 32, {"PassThruOpen", "Alias"}}};
    Bytes library = Build(wide, 3, slots, false);
    Bytes monitor = Monitor(wide);
    for (std::size_t i = 0; i + 6 <= size; i += 6) {
      Bytes& target = (data[i] & 1) ? monitor : library;
      const std::size_t at = (static_cast<std::size_t>(data[i] >> 1) << 8 | data[i + 1]) % target.size();
      for (int k = 0; k < 4 && at + k < target.size(); ++k) target[at + k] = data[i + 2 + k];
    }
    ExportTable table;
    std::string problem;
    (void)varrow::PeMachine(library.data(), library.size());
    if (varrow::ReadExportTable(library.data(), library.size(), &table, &problem)) {
      Rewrite(monitor, table, false);
    } else {
      PROMISE("read", !problem.empty());
    }
    // Any prefix of a library is refused or read, never read past.
    const std::size_t cut = size > 2 ? (data[1] << 8 | data[2]) % library.size() : 0;
    (void)varrow::ReadExportTable(library.data(), cut, &table, &problem);
  } else {
    std::uint32_t base = 1;
    const std::vector<SlotShape> slots = Original(data, size, &base);
    const Bytes library = Build(wide, base, slots, false);
    ExportTable table;
    std::string problem;
    const bool read = varrow::ReadExportTable(library.data(), library.size(), &table, &problem);
    PROMISE("build", read || problem.find("too long") != std::string::npos ||
                         (!slots.empty() && base + slots.size() - 1 > 0xFFFF));
    if (problem.empty()) Rewrite(Monitor(wide), table, true);
  }
  return 0;
}
