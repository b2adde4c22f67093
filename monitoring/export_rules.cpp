#include "monitoring/export_rules.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "monitoring/forward_block.h"

namespace varrow {

namespace {

std::uint16_t U16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t U32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
void Put16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
  Put16(p, v);
  Put16(p + 2, v >> 16);
}

constexpr std::uint32_t kScnCode = 0x00000020;     // IMAGE_SCN_CNT_CODE
constexpr std::uint32_t kScnExecute = 0x20000000;  // IMAGE_SCN_MEM_EXECUTE
constexpr std::uint16_t kMaxSections = 96;
constexpr std::uint64_t kExportDirectoryBytes = 40;

struct Section {
  char name[9] = {};
  std::uint32_t va = 0, virtualSize = 0, rawOffset = 0, rawSize = 0, characteristics = 0;
};

// A PE file's headers, checked against the file's size.
struct Image {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::uint16_t machine = 0;
  std::uint32_t exportRva = 0, exportSize = 0;
  std::vector<Section> sections;
};

bool Fail(std::string* problem, const char* text) {
  *problem = text;
  return false;
}

bool ParseImage(const std::uint8_t* data, std::size_t size, Image* image, std::string* problem) {
  image->data = data;
  image->size = size;
  if (data == nullptr || size < 64 || data[0] != 'M' || data[1] != 'Z')
    return Fail(problem, "it is not a Windows library (no MZ header)");
  const std::uint64_t pe = U32(data + 0x3c);
  if (pe + 24 > size || std::memcmp(data + pe, "PE\0\0", 4) != 0)
    return Fail(problem, "it is not a Windows library (no PE header within the file)");
  image->machine = U16(data + pe + 4);
  const std::uint16_t sectionCount = U16(data + pe + 6);
  const std::uint64_t optionalSize = U16(data + pe + 20);
  const std::uint64_t optional = pe + 24;
  if (optional + optionalSize > size || optionalSize < 2)
    return Fail(problem, "its optional header lies beyond the end of the file");
  const std::uint16_t magic = U16(data + optional);
  std::uint64_t countAt = 0, directoryAt = 0;
  if (magic == 0x10b) {
    countAt = 92;
    directoryAt = 96;
  } else if (magic == 0x20b) {
    countAt = 108;
    directoryAt = 112;
  } else {
    return Fail(problem, "its optional header is of an unknown kind");
  }
  if (countAt + 4 > optionalSize) return Fail(problem, "its optional header is too short");
  if (U32(data + optional + countAt) >= 1 && directoryAt + 8 <= optionalSize) {
    image->exportRva = U32(data + optional + directoryAt);
    image->exportSize = U32(data + optional + directoryAt + 4);
  }
  if (sectionCount > kMaxSections) return Fail(problem, "it has more sections than a library has");
  const std::uint64_t headers = optional + optionalSize;
  if (headers + 40ull * sectionCount > size)
    return Fail(problem, "its section table lies beyond the end of the file");
  for (std::uint16_t i = 0; i < sectionCount; ++i) {
    const std::uint8_t* at = data + headers + 40ull * i;
    Section s;
    std::memcpy(s.name, at, 8);
    s.virtualSize = U32(at + 8);
    s.va = U32(at + 12);
    s.rawSize = U32(at + 16);
    s.rawOffset = U32(at + 20);
    s.characteristics = U32(at + 36);
    if (s.rawSize != 0 && static_cast<std::uint64_t>(s.rawOffset) + s.rawSize > size)
      return Fail(problem, "a section lies beyond the end of the file");
    image->sections.push_back(s);
  }
  return true;
}

// The file offset of `length` bytes at `rva`, all within one section's data in the file.
bool OffsetOf(const Image& image, std::uint64_t rva, std::uint64_t length, std::uint64_t* offset) {
  for (const Section& s : image.sections) {
    if (rva < s.va) continue;
    const std::uint64_t into = rva - s.va;
    if (into < s.rawSize && length <= s.rawSize - into) {
      *offset = s.rawOffset + into;
      return true;
    }
  }
  return false;
}

// The section whose mapped extent holds `rva`, or null.
const Section* SectionAt(const Image& image, std::uint32_t rva) {
  for (const Section& s : image.sections) {
    const std::uint32_t extent = std::max(s.virtualSize, s.rawSize);
    if (rva >= s.va && rva - s.va < extent) return &s;
  }
  return nullptr;
}

// The NUL-terminated name at `rva`, within its section's data and the length bound.
bool NameAt(const Image& image, std::uint32_t rva, std::string* name) {
  std::uint64_t offset = 0;
  if (!OffsetOf(image, rva, 1, &offset)) return false;
  const Section* s = SectionAt(image, rva);
  if (s == nullptr) return false;
  const std::uint64_t end = static_cast<std::uint64_t>(s->rawOffset) + s->rawSize;
  name->clear();
  for (std::uint64_t at = offset; at < end; ++at) {
    const char c = static_cast<char>(image.data[at]);
    if (c == '\0') return true;
    if (name->size() == kMaxExportNameChars) return false;
    name->push_back(c);
  }
  return false;
}

// The export table with each slot's address; `directory` receives the file
// offset of the export directory (0 when there is none).
bool ReadTable(const Image& image, ExportTable* table, std::vector<std::uint32_t>* addresses,
               std::uint64_t* directory, std::string* problem) {
  table->machine = image.machine;
  table->base = 1;
  table->slots.clear();
  table->nameOrder.clear();
  addresses->clear();
  *directory = 0;
  if (image.exportRva == 0) return true;
  const char* outside = "its export table lies outside the file";
  std::uint64_t at = 0;
  if (!OffsetOf(image, image.exportRva, kExportDirectoryBytes, &at)) return Fail(problem, outside);
  const std::uint8_t* d = image.data + at;
  const std::uint32_t base = U32(d + 16), functions = U32(d + 20), names = U32(d + 24);
  if (functions > kMaxExportSlots || names > kMaxExportSlots)
    return Fail(problem, "its export table is larger than a library's can be");
  if (functions != 0 && static_cast<std::uint64_t>(base) + functions - 1 > 0xFFFF)
    return Fail(problem, "its export ordinals lie beyond 65535");
  std::uint64_t eat = 0, npt = 0, ords = 0;
  if (functions != 0 && !OffsetOf(image, U32(d + 28), 4ull * functions, &eat)) return Fail(problem, outside);
  if (names != 0 && (!OffsetOf(image, U32(d + 32), 4ull * names, &npt) ||
                     !OffsetOf(image, U32(d + 36), 2ull * names, &ords))) {
    return Fail(problem, outside);
  }
  *directory = at;
  table->base = base;
  table->slots.resize(functions);
  addresses->resize(functions);
  for (std::uint32_t i = 0; i < functions; ++i) {
    const std::uint32_t rva = U32(image.data + eat + 4ull * i);
    (*addresses)[i] = rva;
    ExportSlot::Kind kind = ExportSlot::Kind::Unused;
    if (rva != 0) {
      const Section* s = SectionAt(image, rva);
      const bool forwarded = rva >= image.exportRva && rva - image.exportRva < image.exportSize;
      const bool runs = s != nullptr && (s->characteristics & (kScnCode | kScnExecute)) != 0;
      kind = forwarded || runs ? ExportSlot::Kind::Code : ExportSlot::Kind::Data;
    }
    table->slots[i].kind = kind;
  }
  std::string name;
  for (std::uint32_t i = 0; i < names; ++i) {
    const std::uint16_t slot = U16(image.data + ords + 2ull * i);
    if (!NameAt(image, U32(image.data + npt + 4ull * i), &name))
      return Fail(problem, "an export name lies outside the file or is too long");
    if (slot >= functions || name.empty()) continue;  // names nothing
    table->slots[slot].names.push_back(name);
    table->nameOrder.push_back(name);
  }
  return true;
}

// The pool entry index of a placeholder name, or -1.
int PoolIndex(const std::string& name) {
  const std::size_t prefix = sizeof(forward::kPlaceholderPrefix) - 1;
  if (name.size() <= prefix || name.size() > prefix + 3 ||
      name.compare(0, prefix, forward::kPlaceholderPrefix) != 0) {
    return -1;
  }
  int index = 0;
  for (std::size_t i = prefix; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return -1;
    index = index * 10 + (name[i] - '0');
  }
  return index < static_cast<int>(forward::kPoolSize) ? index : -1;
}

// What the copy brings: its own functions, its pool and its block.
struct Monitor {
  Image image;
  std::uint64_t directory = 0;
  std::uint32_t base = 1;
  std::map<std::string, std::uint32_t> own;  // name -> address
  std::vector<std::uint32_t> pool;           // entry index -> address
  std::uint64_t blockOffset = 0;
  std::uint32_t blockRva = 0;
};

bool ReadMonitor(const std::vector<std::uint8_t>& copy, Monitor* m, std::string* problem) {
  std::string why;
  ExportTable table;
  std::vector<std::uint32_t> addresses;
  if (!ParseImage(copy.data(), copy.size(), &m->image, &why) ||
      !ReadTable(m->image, &table, &addresses, &m->directory, &why) || m->directory == 0) {
    *problem = "the monitor library is damaged (" + (why.empty() ? "no export table" : why) + ")";
    return false;
  }
  m->base = table.base;
  m->pool.assign(forward::kPoolSize, 0);
  for (std::size_t i = 0; i < table.slots.size(); ++i) {
    for (const std::string& name : table.slots[i].names) {
      const int index = PoolIndex(name);
      if (index >= 0) m->pool[static_cast<std::size_t>(index)] = addresses[i];
      else if (addresses[i] != 0) m->own.emplace(name, addresses[i]);
    }
  }
  const char* notBuilt = "the monitor library was not built for forwarding, or was written before";
  if (std::count(m->pool.begin(), m->pool.end(), 0u) != 0) return Fail(problem, notBuilt);
  for (const Section& s : m->image.sections) {
    if (std::strncmp(s.name, forward::kBlockSection, 8) != 0) continue;
    if (s.rawSize < forward::kBlockBytes || s.virtualSize < forward::kBlockBytes) break;
    // The block is reached by its addresses alone: no other section may claim them.
    bool alone = true;
    for (const Section& other : m->image.sections) {
      if (&other == &s) continue;
      const std::uint64_t end = static_cast<std::uint64_t>(other.va) + std::max(other.virtualSize, other.rawSize);
      if (other.va < static_cast<std::uint64_t>(s.va) + s.virtualSize && s.va < end) alone = false;
    }
    if (!alone) break;
    const std::uint8_t* h = copy.data() + s.rawOffset;
    if (std::memcmp(h, forward::kBlockMagic, 8) != 0 || U32(h + 8) != forward::kPoolSize ||
        U32(h + 12) != forward::kBlockBytes || U32(h + 16) != 0) {
      break;
    }
    m->blockOffset = s.rawOffset;
    m->blockRva = s.va;
    return true;
  }
  return Fail(problem, notBuilt);
}

std::string OrdinalText(std::uint64_t ordinal) { return "#" + std::to_string(ordinal); }

}  // namespace

bool ReadExportTable(const std::uint8_t* file, std::size_t size, ExportTable* table,
                     std::string* problem) {
  Image image;
  std::vector<std::uint32_t> addresses;
  std::uint64_t directory = 0;
  return ParseImage(file, size, &image, problem) &&
         ReadTable(image, table, &addresses, &directory, problem);
}

std::uint16_t PeMachine(const std::uint8_t* file, std::size_t size) {
  if (file == nullptr || size < 64 || file[0] != 'M' || file[1] != 'Z') return 0;
  const std::uint64_t pe = U32(file + 0x3c);
  if (pe + 24 > size || std::memcmp(file + pe, "PE\0\0", 4) != 0) return 0;
  return U16(file + pe + 4);
}

bool IsForwardingMonitor(const std::uint8_t* file, std::size_t size) {
  if (file == nullptr) return false;
  const std::vector<std::uint8_t> bytes(file, file + size);
  Monitor m;
  std::string problem;
  return ReadMonitor(bytes, &m, &problem);
}

bool WriteForwardingTable(std::vector<std::uint8_t>* copy, const ExportTable& original,
                          ForwardPlan* plan, std::string* problem) {
  *plan = ForwardPlan{};
  Monitor m;
  if (!ReadMonitor(*copy, &m, problem)) return false;
  if (m.image.machine != original.machine) {
    return Fail(problem, "the library is built for another machine type than the monitor library");
  }
  if (original.slots.size() > kMaxExportSlots ||
      static_cast<std::uint64_t>(original.base) + original.slots.size() > 0x10000) {
    return Fail(problem, "its export ordinals lie beyond 65535");
  }

  // Slots at the original's ordinals; the monitor's own functions where the
  // original has their names, a pool entry for every other function.
  plan->base = original.slots.empty() ? m.base : original.base;
  std::vector<std::uint32_t> eat(original.slots.size(), 0);
  std::vector<std::pair<std::string, std::uint32_t>> names;  // name -> slot
  std::set<std::string> seen;
  std::vector<std::vector<std::string>> moved;  // extras beside an own name: a slot of their own
  std::vector<std::size_t> extraSlots;           // slots that need a pool entry
  for (std::size_t i = 0; i < original.slots.size(); ++i) {
    const ExportSlot& slot = original.slots[i];
    if (slot.kind == ExportSlot::Kind::Unused) continue;
    const std::string ordinal = OrdinalText(plan->base + i);
    if (slot.kind == ExportSlot::Kind::Data) {
      plan->leftOut.push_back(slot.names.empty() ? ordinal : slot.names.front());
      continue;
    }
    std::string own;
    std::vector<std::string> extras;
    for (const std::string& name : slot.names) {
      if (!seen.insert(name).second) continue;  // a name given twice serves once
      if (own.empty() && m.own.count(name) != 0) own = name;
      else if (m.own.count(name) == 0) extras.push_back(name);
    }
    if (!own.empty()) {
      eat[i] = m.own[own];
      names.emplace_back(own, static_cast<std::uint32_t>(i));
      if (!extras.empty()) moved.push_back(extras);
    } else if (slot.names.empty() || !extras.empty()) {
      extraSlots.push_back(i);
      for (const std::string& name : extras) names.emplace_back(name, static_cast<std::uint32_t>(i));
      plan->forwarded.push_back(extras.empty() ? ordinal : extras.front());
    }
  }
  const std::size_t needed = extraSlots.size() + moved.size();
  if (needed > forward::kPoolSize) {
    *problem = "the library exports " + std::to_string(needed) +
               " functions beyond the monitor's own, and the monitor can forward at most " +
               std::to_string(forward::kPoolSize);
    return false;
  }
  std::size_t next = 0;
  for (std::size_t i : extraSlots) eat[i] = m.pool[next++];
  for (const auto& [name, address] : m.own) {
    if (seen.count(name) != 0) continue;  // placed at the original's ordinal
    names.emplace_back(name, static_cast<std::uint32_t>(eat.size()));
    eat.push_back(address);
  }
  for (const std::vector<std::string>& extras : moved) {
    for (const std::string& name : extras) names.emplace_back(name, static_cast<std::uint32_t>(eat.size()));
    plan->forwarded.push_back(extras.front());
    plan->sameOrdinals = false;
    eat.push_back(m.pool[next++]);
  }
  if (static_cast<std::uint64_t>(plan->base) + eat.size() > 0x10000)
    return Fail(problem, "its export ordinals lie too close to 65535 for the monitor's own functions");
  std::sort(names.begin(), names.end());  // byte order, as the loader's binary search needs

  // The table into the block: functions, name pointers, ordinals, names, notes.
  std::string notes;
  for (const std::string& name : plan->leftOut) notes += (notes.empty() ? "" : "\n") + name;
  std::uint64_t stringBytes = 0;
  for (const auto& entry : names) stringBytes += entry.first.size() + 1;
  const std::uint64_t eatAt = forward::kBlockDataOffset;
  const std::uint64_t nptAt = eatAt + 4ull * eat.size();
  const std::uint64_t ordAt = nptAt + 4ull * names.size();
  const std::uint64_t stringsAt = ordAt + 2ull * names.size();
  const std::uint64_t notesAt = stringsAt + stringBytes;
  if (notesAt + notes.size() > forward::kBlockBytes) {
    *problem = "the library's export table needs " + std::to_string(notesAt + notes.size()) +
               " bytes, and the monitor library holds " + std::to_string(forward::kBlockBytes);
    return false;
  }
  std::uint8_t* block = copy->data() + m.blockOffset;
  std::memset(block + forward::kBlockDataOffset, 0, forward::kBlockBytes - forward::kBlockDataOffset);
  for (std::size_t i = 0; i < eat.size(); ++i) Put32(block + eatAt + 4 * i, eat[i]);
  std::uint64_t text = stringsAt;
  for (std::size_t i = 0; i < names.size(); ++i) {
    Put32(block + nptAt + 4 * i, static_cast<std::uint32_t>(m.blockRva + text));
    Put16(block + ordAt + 2 * i, names[i].second);
    std::memcpy(block + text, names[i].first.data(), names[i].first.size());
    text += names[i].first.size() + 1;
  }
  std::memcpy(block + notesAt, notes.data(), notes.size());
  Put32(block + 16, 1);  // written
  Put32(block + 20, static_cast<std::uint32_t>(notesAt));
  Put32(block + 24, static_cast<std::uint32_t>(notes.size()));
  std::uint8_t* directory = copy->data() + m.directory;
  Put32(directory + 16, plan->base);
  Put32(directory + 20, static_cast<std::uint32_t>(eat.size()));
  Put32(directory + 24, static_cast<std::uint32_t>(names.size()));
  Put32(directory + 28, static_cast<std::uint32_t>(m.blockRva + eatAt));
  Put32(directory + 32, static_cast<std::uint32_t>(m.blockRva + nptAt));
  Put32(directory + 36, static_cast<std::uint32_t>(m.blockRva + ordAt));
  return true;
}

}  // namespace varrow
