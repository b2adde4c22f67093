// The decoder's OBD-II part (SAE J1979 / ISO 15031-5): modes, PIDs and their
// values, vehicle information and the two-byte DTCs.
#include "log/diag_decode.h"

#include <algorithm>
#include <cstdio>

#include "log/decode_parts.h"

namespace monitor {

using namespace decode;

namespace {

// ---- OBD-II (SAE J1979) ----------------------------------------------------

enum class PidForm : std::uint8_t { Scaled, Supported, MonitorStatus, Dtc, Bytes };

struct PidInfo {
  std::uint8_t pid;
  std::uint8_t length;  // data bytes
  const char* name;
  PidForm form;
  double factor;
  double offset;
  int decimals;
  const char* unit;
};

// Mode 01 / 02 parameters as SAE J1979 (ISO 15031-5) defines them: value =
// raw (A, or 256A+B) * factor + offset. Names, lengths, scalings and units
// checked against two public descriptions of the standard's PID table; a
// composite or signed parameter is shown as its bytes.
constexpr PidInfo kPids[] = {
    {0x00, 4, "PIDs supported [01-20]", PidForm::Supported, 0, 0, 0, ""},
    {0x01, 4, "Monitor status since DTCs cleared", PidForm::MonitorStatus, 0, 0, 0, ""},
    {0x02, 2, "DTC that caused the freeze frame", PidForm::Dtc, 0, 0, 0, ""},
    {0x03, 2, "Fuel system status", PidForm::Bytes, 0, 0, 0, ""},
    {0x04, 1, "Calculated engine load", PidForm::Scaled, 100.0 / 255, 0, 1, "%"},
    {0x05, 1, "Engine coolant temperature", PidForm::Scaled, 1, -40, 0, "degC"},
    {0x06, 1, "Short term fuel trim, bank 1", PidForm::Scaled, 100.0 / 128, -100, 1, "%"},
    {0x07, 1, "Long term fuel trim, bank 1", PidForm::Scaled, 100.0 / 128, -100, 1, "%"},
    {0x08, 1, "Short term fuel trim, bank 2", PidForm::Scaled, 100.0 / 128, -100, 1, "%"},
    {0x09, 1, "Long term fuel trim, bank 2", PidForm::Scaled, 100.0 / 128, -100, 1, "%"},
    {0x0A, 1, "Fuel pressure", PidForm::Scaled, 3, 0, 0, "kPa"},
    {0x0B, 1, "Intake manifold absolute pressure", PidForm::Scaled, 1, 0, 0, "kPa"},
    {0x0C, 2, "Engine RPM", PidForm::Scaled, 0.25, 0, 2, "rpm"},
    {0x0D, 1, "Vehicle speed", PidForm::Scaled, 1, 0, 0, "km/h"},
    {0x0E, 1, "Timing advance", PidForm::Scaled, 0.5, -64, 1, "deg before TDC"},
    {0x0F, 1, "Intake air temperature", PidForm::Scaled, 1, -40, 0, "degC"},
    {0x10, 2, "Mass air flow rate", PidForm::Scaled, 0.01, 0, 2, "g/s"},
    {0x11, 1, "Throttle position", PidForm::Scaled, 100.0 / 255, 0, 1, "%"},
    {0x12, 1, "Commanded secondary air status", PidForm::Bytes, 0, 0, 0, ""},
    {0x13, 1, "Oxygen sensors present (2 banks)", PidForm::Bytes, 0, 0, 0, ""},
    {0x1C, 1, "OBD standards this vehicle conforms to", PidForm::Bytes, 0, 0, 0, ""},
    {0x1D, 1, "Oxygen sensors present (4 banks)", PidForm::Bytes, 0, 0, 0, ""},
    {0x1E, 1, "Auxiliary input status", PidForm::Bytes, 0, 0, 0, ""},
    {0x1F, 2, "Run time since engine start", PidForm::Scaled, 1, 0, 0, "s"},
    {0x20, 4, "PIDs supported [21-40]", PidForm::Supported, 0, 0, 0, ""},
    {0x21, 2, "Distance traveled with MIL on", PidForm::Scaled, 1, 0, 0, "km"},
    {0x22, 2, "Fuel rail pressure (relative to manifold vacuum)", PidForm::Scaled, 0.079, 0, 3, "kPa"},
    {0x23, 2, "Fuel rail gauge pressure", PidForm::Scaled, 10, 0, 0, "kPa"},
    {0x2C, 1, "Commanded EGR", PidForm::Scaled, 100.0 / 255, 0, 1, "%"},
    {0x2D, 1, "EGR error", PidForm::Scaled, 100.0 / 128, -100, 1, "%"},
    {0x2E, 1, "Commanded evaporative purge", PidForm::Scaled, 100.0 / 255, 0, 1, "%"},
    {0x2F, 1, "Fuel tank level input", PidForm::Scaled, 100.0 / 255, 0, 1, "%"},
    {0x30, 1, "Warm-ups since codes cleared", PidForm::Scaled, 1, 0, 0, ""},
    {0x31, 2, "Distance traveled since codes cleared", PidForm::Scaled, 1, 0, 0, "km"},
    {0x33, 1, "Absolute barometric pressure", PidForm::Scaled, 1, 0, 0, "kPa"},
    {0x3C, 2, "Catalyst temperature, bank 1 sensor 1", PidForm::Scaled, 0.1, -40, 1, "degC"},
    {0x3D, 2, "Catalyst temperature, bank 2 sensor 1", PidForm::Scaled, 0.1, -40, 1, "degC"},
    {0x3E, 2, "Catalyst temperature, bank 1 sensor 2", PidForm::Scaled, 0.1, -40, 1, "degC"},
    {0x3F, 2, "Catalyst temperature, bank 2 sensor 2", PidForm::Scaled, 0.1, -40, 1, "degC"},
    {0x40, 4, "PIDs supported [41-60]", PidForm::Supported, 0, 0, 0, ""},
    {0x41, 4, "Monitor status this drive cycle", PidForm::Bytes, 0, 0, 0, ""},
    {0x42, 2, "Control module voltage", PidForm::Scaled, 0.001, 0, 3, "V"},
    {0x43, 2, "Absolute load value", PidForm::Scaled, 100.0 / 255, 0, 1, "%"},
    {0x44, 2, "Commanded air-fuel equivalence ratio", PidForm::Scaled, 2.0 / 65536, 0, 3, ""},
    {0x45, 1, "Relative throttle position", PidForm::Scaled, 100.0 / 255, 0, 1, "%"},
    {0x46, 1, "Ambient air temperature", PidForm::Scaled, 1, -40, 0, "degC"},
    {0x47, 1, "Absolute throttle position B", PidForm::Scaled, 100.0 / 255, 0, 1, "%"},
    {0x48, 1, "Absolute throttle position C", PidForm::Scaled, 100.0 / 255, 0, 1, "%"},
    {0x49, 1, "Accelerator pedal position D", PidForm::Scaled, 100.0 / 255, 0, 1, "%"},
    {0x4A, 1, "Accelerator pedal position E", PidForm::Scaled, 100.0 / 255, 0, 1, "%"},
    {0x4B, 1, "Accelerator pedal position F", PidForm::Scaled, 100.0 / 255, 0, 1, "%"},
    {0x4C, 1, "Commanded throttle actuator", PidForm::Scaled, 100.0 / 255, 0, 1, "%"},
    {0x4D, 2, "Time run with MIL on", PidForm::Scaled, 1, 0, 0, "min"},
    {0x4E, 2, "Time since trouble codes cleared", PidForm::Scaled, 1, 0, 0, "min"},
    {0x51, 1, "Fuel type", PidForm::Bytes, 0, 0, 0, ""},
    {0x52, 1, "Ethanol fuel", PidForm::Scaled, 100.0 / 255, 0, 1, "%"},
    {0x5A, 1, "Relative accelerator pedal position", PidForm::Scaled, 100.0 / 255, 0, 1, "%"},
    {0x5B, 1, "Hybrid battery pack remaining life", PidForm::Scaled, 100.0 / 255, 0, 1, "%"},
    {0x5C, 1, "Engine oil temperature", PidForm::Scaled, 1, -40, 0, "degC"},
    {0x5D, 2, "Fuel injection timing", PidForm::Scaled, 1.0 / 128, -210, 2, "deg"},
    {0x5E, 2, "Engine fuel rate", PidForm::Scaled, 0.05, 0, 2, "L/h"},
    {0x60, 4, "PIDs supported [61-80]", PidForm::Supported, 0, 0, 0, ""},
    {0x80, 4, "PIDs supported [81-A0]", PidForm::Supported, 0, 0, 0, ""},
    {0xA0, 4, "PIDs supported [A1-C0]", PidForm::Supported, 0, 0, 0, ""},
    {0xC0, 4, "PIDs supported [C1-E0]", PidForm::Supported, 0, 0, 0, ""},
};

const PidInfo* FindPid(std::uint8_t pid) {
  for (const PidInfo& info : kPids)
    if (info.pid == pid) return &info;
  return nullptr;
}

}  // namespace

std::string decode::PidName(std::uint8_t pid) {
  const PidInfo* info = FindPid(pid);
  return info != nullptr ? std::string(info->name) : "PID " + Hex2(pid);
}

namespace {

// "PIDs supported [01-20]: 01 03 0C" from the four bit-mask bytes after `base`.
std::string SupportedList(std::uint8_t base, const std::uint8_t* p) {
  std::string list;
  for (int bit = 0; bit < 32; ++bit) {
    if ((p[bit / 8] & (0x80 >> (bit % 8))) != 0) {
      if (!list.empty()) list += ' ';
      list += Hex2(static_cast<std::uint8_t>(base + bit + 1));
    }
  }
  return list.empty() ? "none" : list;
}

// One PID's value, "Engine RPM = 3,200 rpm"; the data holds info.length bytes.
std::string PidValue(const PidInfo& info, const std::uint8_t* p) {
  std::string text = std::string(info.name) + " = ";
  switch (info.form) {
    case PidForm::Scaled: {
      const double raw = info.length == 1 ? p[0] : p[0] * 256.0 + p[1];
      text += Scaled(raw * info.factor + info.offset, info.decimals);
      if (info.unit[0] != '\0') text += std::string(" ") + info.unit;
      return text;
    }
    case PidForm::Supported: return text + SupportedList(info.pid, p);
    case PidForm::MonitorStatus:
      return text + "MIL " + ((p[0] & 0x80) != 0 ? "on" : "off") + ", " +
             std::to_string(p[0] & 0x7F) + " DTC(s)";
    case PidForm::Dtc: return text + DtcText(p[0], p[1]);
    case PidForm::Bytes: return text + Bytes(p, info.length);
  }
  return text;
}

// Mode 01 / 02 response data: PID [frame] value, repeated.
std::string PidValues(const std::uint8_t* p, std::size_t n, bool freezeFrame) {
  std::string text;
  std::size_t at = 0;
  for (std::size_t items = 0; at < n; ++items) {
    if (items == kShownItems) return text + ", ... " + Bytes(p + at, n - at);
    if (!text.empty()) text += ", ";
    const PidInfo* info = FindPid(p[at]);
    const std::size_t head = freezeFrame ? 2 : 1;
    if (info == nullptr || at + head + info->length > n) {
      return text + PidName(p[at]) + ": " + Bytes(p + at + 1, n - at - 1);
    }
    if (freezeFrame) text += "frame " + std::to_string(p[at + 1]) + ": ";
    text += PidValue(*info, p + at + head);
    at += head + info->length;
  }
  return text;
}

std::string DtcList(const std::uint8_t* p, std::size_t n) {
  // On CAN a count byte comes first; without it the list is padded with 00 00.
  std::size_t at = 0;
  if (n % 2 == 1 && p[0] * 2u == n - 1) at = 1;
  std::string list;
  std::size_t count = 0;
  for (; at + 1 < n; at += 2) {
    if (p[at] == 0 && p[at + 1] == 0) continue;
    if (count < kShownDtcs) list.append(" ").append(DtcText(p[at], p[at + 1]));
    else if (count == kShownDtcs) list += " ...";
    ++count;
  }
  if (at < n) list += " and " + Bytes(p + at, n - at);
  return std::to_string(count) + " DTC(s)" + (list.empty() ? "" : ":" + list);
}

// The diagnostic services (modes) 01-0A of SAE J1979 / ISO 15031-5.
const char* ObdModeName(std::uint8_t mode) {
  switch (mode) {
    case 0x01: return "current data";
    case 0x02: return "freeze frame data";
    case 0x03: return "stored DTCs";
    case 0x04: return "clear DTCs";
    case 0x05: return "oxygen sensor test results";
    case 0x06: return "on-board monitoring test results";
    case 0x07: return "pending DTCs";
    case 0x08: return "control of on-board system";
    case 0x09: return "vehicle information";
    case 0x0A: return "permanent DTCs";
  }
  return "";
}

// Mode 09 info types of SAE J1979 / ISO 15031-5 (the message counts 01, 03,
// 05, 07 and 09 are the pre-CAN way of saying how many messages follow).
const char* VehicleInfoName(std::uint8_t pid) {
  switch (pid) {
    case 0x00: return "PIDs supported [01-20]";
    case 0x01: return "VIN message count";
    case 0x02: return "VIN";
    case 0x03: return "calibration ID message count";
    case 0x04: return "CALID";
    case 0x05: return "CVN message count";
    case 0x06: return "CVN";
    case 0x07: return "in-use performance tracking message count";
    case 0x08: return "in-use performance tracking (spark ignition)";
    case 0x09: return "ECU name message count";
    case 0x0A: return "ECU name";
    case 0x0B: return "in-use performance tracking (compression ignition)";
  }
  return nullptr;
}

std::string VehicleInfo(std::uint8_t pid, const std::uint8_t* p, std::size_t n) {
  const char* known = VehicleInfoName(pid);
  const std::string name = known != nullptr ? known : "PID " + Hex2(pid);
  if (pid == 0x00 && n == 4) return name + " = " + SupportedList(0, p);
  // On CAN the data starts with the number of data items.
  const bool counted = n > 0 && ((pid == 0x02 && n == 18) || (pid == 0x04 && n >= 17 && (n - 1) % 16 == 0) ||
                                 (pid == 0x06 && n >= 5 && (n - 1) % 4 == 0) || (pid == 0x0A && n == 21));
  const std::uint8_t* d = counted ? p + 1 : p;
  const std::size_t m = counted ? n - 1 : n;
  if (m == 0) return name;
  if (pid == 0x02 || pid == 0x0A) return name + " = " + TextOrBytes(d, m);
  if (pid == 0x04 && m % 16 == 0) {
    std::string text = name + " =";
    for (std::size_t i = 0; i < m && i < kShownItems * 16; i += 16) text.append(" ").append(TextOrBytes(d + i, 16));
    return text;
  }
  if (pid == 0x06 && m % 4 == 0) {
    std::string text = name + " =";
    for (std::size_t i = 0; i < m && i < kShownBytes; i += 4) {
      text += ' ';
      for (std::size_t k = 0; k < 4; ++k) text += Hex2(d[i + k]);
    }
    return text;
  }
  return name + " = " + Bytes(p, n);
}

}  // namespace

bool decode::PidValueOfLength(std::uint8_t pid, const std::uint8_t* p, std::size_t n, std::string* value) {
  const PidInfo* info = FindPid(pid);
  if (info == nullptr || n != info->length) return false;
  *value = PidValue(*info, p);
  return true;
}

std::string decode::ObdText(const std::uint8_t* p, std::size_t n) {
  const bool response = (p[0] & 0x40) != 0;
  const std::uint8_t mode = p[0] & 0x3F;
  std::string text = "OBD mode ";
  text.append(Hex2(mode)).append(" (").append(ObdModeName(mode)).append(") ").append(response ? "response" : "request");
  const std::uint8_t* d = p + 1;
  const std::size_t m = n - 1;
  std::string detail;
  if (mode == 0x01 || mode == 0x02) {
    if (response) {
      detail = PidValues(d, m, mode == 0x02);
    } else {
      for (std::size_t i = 0; i < m; i += mode == 0x02 ? 2 : 1) {
        if (i >= kShownItems * 2) {
          detail += ", ...";
          break;
        }
        if (!detail.empty()) detail += ", ";
        detail += PidName(d[i]);
        if (mode == 0x02 && i + 1 < m) detail += " (frame " + std::to_string(d[i + 1]) + ")";
      }
    }
  } else if (mode == 0x03 || mode == 0x07 || mode == 0x0A) {
    if (response) detail = DtcList(d, m);
    else if (m > 0) detail = Bytes(d, m);
  } else if (mode == 0x09 && m > 0) {
    if (response) {
      detail = VehicleInfo(d[0], d + 1, m - 1);
    } else {
      const char* name = VehicleInfoName(d[0]);
      detail = name != nullptr ? name : "PID " + Hex2(d[0]);
      if (m > 1) detail.append(" ").append(Bytes(d + 1, m - 1));
    }
  } else if (m > 0) {
    detail = Bytes(d, m);
  }
  return detail.empty() ? text : text + ": " + detail;
}

// The two-byte DTC of SAE J1979 / SAE J2012: the first two bits the system
// (P powertrain, C chassis, B body, U network), the next two the first digit
// (0-3), then three hex digits.
std::string DtcText(std::uint8_t high, std::uint8_t low) {
  static const char kSystems[] = {'P', 'C', 'B', 'U'};
  std::string text(1, kSystems[high >> 6]);
  text += static_cast<char>('0' + ((high >> 4) & 3));
  text += kHexDigits[high & 15];
  return text + Hex2(low);
}

}  // namespace monitor
