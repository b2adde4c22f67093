#include "monitor/diag_decode.h"

#include <algorithm>
#include <cstdio>

namespace monitor {

namespace {

// Bytes of one payload shown in a decoded line at most (the log's data dump has them all).
constexpr std::size_t kShownBytes = 48;
// Values or identifiers of one message named at most (then "..."), and DTCs.
constexpr std::size_t kShownItems = 8;
constexpr std::size_t kShownDtcs = 32;

const char kHexDigits[] = "0123456789ABCDEF";

std::string Hex2(std::uint8_t b) { return {kHexDigits[b >> 4], kHexDigits[b & 15]}; }
std::string Hex4(unsigned v) { return Hex2(static_cast<std::uint8_t>(v >> 8)) + Hex2(static_cast<std::uint8_t>(v)); }

// "01 02 03", at most kShownBytes of them, then "... (n bytes)".
void AppendBytes(std::string* out, const std::uint8_t* p, std::size_t n) {
  const std::size_t shown = std::min(n, kShownBytes);
  for (std::size_t i = 0; i < shown; ++i) {
    if (i != 0) *out += ' ';
    *out += kHexDigits[p[i] >> 4];
    *out += kHexDigits[p[i] & 15];
  }
  if (shown < n) {
    *out += " ... (";
    *out += std::to_string(n);
    *out += " bytes)";
  }
}

std::string Bytes(const std::uint8_t* p, std::size_t n) {
  std::string out;
  AppendBytes(&out, p, n);
  return out;
}

// Printable ASCII text of an identification value, trailing padding (00, FF,
// blanks) removed; false when a byte inside is not printable.
bool AsText(const std::uint8_t* p, std::size_t n, std::string* out) {
  while (n > 0 && (p[n - 1] == 0x00 || p[n - 1] == 0xFF || p[n - 1] == ' ')) --n;
  if (n == 0) return false;
  std::string text;
  for (std::size_t i = 0; i < n && i < kShownBytes * 2; ++i) {
    if (p[i] < 0x20 || p[i] > 0x7E) return false;
    text += static_cast<char>(p[i]);
  }
  *out = "\"" + text + "\"";
  return true;
}

std::string TextOrBytes(const std::uint8_t* p, std::size_t n) {
  std::string text;
  return AsText(p, n, &text) ? text : Bytes(p, n);
}

// A number with `decimals` places (trailing zeros dropped) and thousands separated: "3,200", "39.2".
std::string Scaled(double value, int decimals) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
  std::string text = buffer;
  std::size_t point = text.find('.');
  if (point != std::string::npos) {
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
  }
  point = text.find('.');
  const std::size_t integerEnd = point == std::string::npos ? text.size() : point;
  const std::size_t digitsStart = (!text.empty() && text[0] == '-') ? 1 : 0;
  std::string grouped;
  for (std::size_t i = digitsStart; i < integerEnd; ++i) {
    if (i != digitsStart && (integerEnd - i) % 3 == 0) grouped += ',';
    grouped += text[i];
  }
  if (text == "-0") return "0";
  return text.substr(0, digitsStart) + grouped + text.substr(integerEnd);
}

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

std::string PidName(std::uint8_t pid) {
  const PidInfo* info = FindPid(pid);
  return info != nullptr ? std::string(info->name) : "PID " + Hex2(pid);
}

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
    if (count < kShownDtcs) list += " " + DtcText(p[at], p[at + 1]);
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
    for (std::size_t i = 0; i < m && i < kShownItems * 16; i += 16) text += " " + TextOrBytes(d + i, 16);
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

std::string ObdText(const std::uint8_t* p, std::size_t n) {
  const bool response = (p[0] & 0x40) != 0;
  const std::uint8_t mode = p[0] & 0x3F;
  std::string text = "OBD mode " + Hex2(mode) + " (" + ObdModeName(mode) + ") " +
                     (response ? "response" : "request");
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
      if (m > 1) detail += " " + Bytes(d + 1, m - 1);
    }
  } else if (m > 0) {
    detail = Bytes(d, m);
  }
  return detail.empty() ? text : text + ": " + detail;
}

// ---- UDS (ISO 14229) and KWP2000 ---------------------------------------------

struct ServiceInfo {
  std::uint8_t sid;
  const char* name;
  bool kwp;          // a KWP2000 service that UDS does not have
  bool subFunction;  // the second byte is a sub-function with the suppress bit
};

// Service ids of UDS (ISO 14229-1) and, where UDS has none, KWP2000 (ISO
// 14230-3); a positive response is the id + 0x40, a negative one 7F <id> <NRC>.
// An id both define is named as UDS names it (KWP2000's StartDiagnosticSession,
// ReadDataByCommonIdentifier, StartRoutineByLocalIdentifier... have the same
// ids); 0x38 is UDS RequestFileTransfer rather than KWP2000 StartRoutineByAddress.
constexpr ServiceInfo kServices[] = {
    {0x10, "DiagnosticSessionControl", false, true},
    {0x11, "ECUReset", false, true},
    {0x12, "ReadFreezeFrameData", true, false},
    {0x13, "ReadDiagnosticTroubleCodes", true, false},
    {0x14, "ClearDiagnosticInformation", false, false},
    {0x17, "ReadStatusOfDiagnosticTroubleCodes", true, false},
    {0x18, "ReadDiagnosticTroubleCodesByStatus", true, false},
    {0x19, "ReadDTCInformation", false, true},
    {0x1A, "ReadECUIdentification", true, false},
    {0x20, "StopDiagnosticSession", true, false},
    {0x21, "ReadDataByLocalIdentifier", true, false},
    {0x22, "ReadDataByIdentifier", false, false},
    {0x23, "ReadMemoryByAddress", false, false},
    {0x24, "ReadScalingDataByIdentifier", false, false},
    {0x25, "StopRepeatedDataTransmission", true, false},
    {0x26, "SetDataRates", true, false},
    {0x27, "SecurityAccess", false, true},
    {0x28, "CommunicationControl", false, true},
    {0x29, "Authentication", false, true},
    {0x2A, "ReadDataByPeriodicIdentifier", false, false},
    {0x2C, "DynamicallyDefineDataIdentifier", false, true},
    {0x2E, "WriteDataByIdentifier", false, false},
    {0x2F, "InputOutputControlByIdentifier", false, false},
    {0x30, "InputOutputControlByLocalIdentifier", true, false},
    {0x31, "RoutineControl", false, true},
    {0x32, "StopRoutineByLocalIdentifier", true, false},
    {0x33, "RequestRoutineResultsByLocalIdentifier", true, false},
    {0x34, "RequestDownload", false, false},
    {0x35, "RequestUpload", false, false},
    {0x36, "TransferData", false, false},
    {0x37, "RequestTransferExit", false, false},
    {0x38, "RequestFileTransfer", false, false},
    {0x39, "StopRoutineByAddress", true, false},
    {0x3A, "RequestRoutineResultsByAddress", true, false},
    {0x3B, "WriteDataByLocalIdentifier", true, false},
    {0x3D, "WriteMemoryByAddress", false, false},
    {0x3E, "TesterPresent", false, true},
    {0x81, "StartCommunication", true, false},
    {0x82, "StopCommunication", true, false},
    {0x83, "AccessTimingParameter", false, true},
    {0x84, "SecuredDataTransmission", false, false},
    {0x85, "ControlDTCSetting", false, true},
    {0x86, "ResponseOnEvent", false, true},
    {0x87, "LinkControl", false, true},
};

const ServiceInfo* FindService(std::uint8_t sid) {
  for (const ServiceInfo& info : kServices)
    if (info.sid == sid) return &info;
  return nullptr;
}

std::string ServiceName(std::uint8_t sid) {
  if (sid >= 0x01 && sid <= 0x0A) return "OBD mode " + Hex2(sid);
  const ServiceInfo* info = FindService(sid);
  return info != nullptr ? std::string(info->name) : "service " + Hex2(sid);
}

// Sub-function names of ISO 14229-1 (bit 7, suppressPosRspMsgIndicationBit,
// masked off). SecurityAccess is worked out in SubFunctionText: odd values
// request a seed, even ones send the key of the level below.
const char* SubFunctionName(std::uint8_t sid, std::uint8_t sub) {
  switch (sid) {
    case 0x10:
      switch (sub) {
        case 0x01: return "defaultSession";
        case 0x02: return "programmingSession";
        case 0x03: return "extendedDiagnosticSession";
        case 0x04: return "safetySystemDiagnosticSession";
      }
      break;
    case 0x11:
      switch (sub) {
        case 0x01: return "hardReset";
        case 0x02: return "keyOffOnReset";
        case 0x03: return "softReset";
        case 0x04: return "enableRapidPowerShutDown";
        case 0x05: return "disableRapidPowerShutDown";
      }
      break;
    case 0x19:
      switch (sub) {
        case 0x01: return "reportNumberOfDTCByStatusMask";
        case 0x02: return "reportDTCByStatusMask";
        case 0x03: return "reportDTCSnapshotIdentification";
        case 0x04: return "reportDTCSnapshotRecordByDTCNumber";
        case 0x05: return "reportDTCSnapshotRecordByRecordNumber";
        case 0x06: return "reportDTCExtendedDataRecordByDTCNumber";
        case 0x07: return "reportNumberOfDTCBySeverityMaskRecord";
        case 0x08: return "reportDTCBySeverityMaskRecord";
        case 0x09: return "reportSeverityInformationOfDTC";
        // One description says "reportSupportedDTCs": the singular, as the other and the standard's own table have it.
        case 0x0A: return "reportSupportedDTC";
        case 0x0B: return "reportFirstTestFailedDTC";
        case 0x0C: return "reportFirstConfirmedDTC";
        case 0x0D: return "reportMostRecentTestFailedDTC";
        case 0x0E: return "reportMostRecentConfirmedDTC";
        case 0x0F: return "reportMirrorMemoryDTCByStatusMask";
        case 0x10: return "reportMirrorMemoryDTCExtendedDataRecordByDTCNumber";
        case 0x11: return "reportNumberOfMirrorMemoryDTCByStatusMask";
        case 0x12: return "reportNumberOfEmissionsOBDDTCByStatusMask";
        case 0x13: return "reportEmissionsOBDDTCByStatusMask";
        case 0x14: return "reportDTCFaultDetectionCounter";
        case 0x15: return "reportDTCWithPermanentStatus";
      }
      break;
    case 0x28:
      switch (sub) {
        case 0x00: return "enableRxAndTx";
        case 0x01: return "enableRxAndDisableTx";
        case 0x02: return "disableRxAndEnableTx";
        case 0x03: return "disableRxAndTx";
        case 0x04: return "enableRxAndDisableTxWithEnhancedAddressInformation";
        case 0x05: return "enableRxAndTxWithEnhancedAddressInformation";
      }
      break;
    case 0x2C:
      switch (sub) {
        case 0x01: return "defineByIdentifier";
        case 0x02: return "defineByMemoryAddress";
        case 0x03: return "clearDynamicallyDefinedDataIdentifier";
      }
      break;
    case 0x31:
      switch (sub) {
        case 0x01: return "startRoutine";
        case 0x02: return "stopRoutine";
        case 0x03: return "requestRoutineResults";
      }
      break;
    case 0x3E:
      if (sub == 0x00) return "zeroSubFunction";
      break;
    case 0x85:
      switch (sub) {
        case 0x01: return "on";
        case 0x02: return "off";
      }
      break;
  }
  return nullptr;
}

std::string SubFunctionText(std::uint8_t sid, std::uint8_t byte, bool request) {
  const std::uint8_t sub = byte & 0x7F;
  std::string text;
  if (sid == 0x27) {
    text = (sub % 2 == 1 ? "requestSeed level " : "sendKey level ") + std::to_string((sub + 1) / 2);
  } else {
    const char* name = SubFunctionName(sid, sub);
    text = name != nullptr ? std::string(name) : "sub-function " + Hex2(sub);
  }
  if (request && (byte & 0x80) != 0) text += ", no positive response wanted";
  return text;
}

struct DidInfo {
  std::uint16_t did;
  const char* name;
  bool text;  // the value is text
};

// The identification DIDs F180-F19F of ISO 14229-1 (annex C). F18F is left
// out: one description has it reserved, the other gives it a later edition's
// meaning. The names leave out "vehicle manufacturer" (F187-F189, F191) and
// shorten "system supplier" to "supplier" (F192-F195).
constexpr DidInfo kDids[] = {
    {0xF180, "boot software identification", true},
    {0xF181, "application software identification", true},
    {0xF182, "application data identification", true},
    {0xF183, "boot software fingerprint", false},
    {0xF184, "application software fingerprint", false},
    {0xF185, "application data fingerprint", false},
    {0xF186, "active diagnostic session", false},
    {0xF187, "spare part number", true},
    {0xF188, "ECU software number", true},
    {0xF189, "ECU software version", true},
    {0xF18A, "system supplier identifier", true},
    {0xF18B, "ECU manufacturing date", false},
    {0xF18C, "ECU serial number", true},
    {0xF18D, "supported functional units", false},
    {0xF18E, "kit assembly part number", true},
    {0xF190, "VIN", true},
    {0xF191, "ECU hardware number", true},
    {0xF192, "supplier ECU hardware number", true},
    {0xF193, "supplier ECU hardware version", true},
    {0xF194, "supplier ECU software number", true},
    {0xF195, "supplier ECU software version", true},
    {0xF196, "exhaust regulation / type approval number", true},
    {0xF197, "system name or engine type", true},
    {0xF198, "repair shop code / tester serial number", true},
    {0xF199, "programming date", false},
    {0xF19A, "calibration repair shop code / calibration equipment serial number", true},
    {0xF19B, "calibration date", false},
    // F19C as one description and the standard's order have it; the other lists it under F19D beside the installation date.
    {0xF19C, "calibration equipment software number", true},
    {0xF19D, "ECU installation date", false},
    {0xF19E, "ODX file", true},
    {0xF19F, "entity", false},
};

std::string DidName(std::uint16_t did) {
  for (const DidInfo& info : kDids)
    if (info.did == did) return Hex4(did) + " " + info.name;
  // F400-F4FF: the OBD-II mode 01 parameters by identifier.
  if ((did & 0xFF00) == 0xF400) return Hex4(did) + " " + PidName(static_cast<std::uint8_t>(did));
  return Hex4(did);
}

// "F190 VIN = "WOVRA..."": the value of the first identifier of a response.
std::string DidValue(std::uint16_t did, const std::uint8_t* p, std::size_t n) {
  std::string text = DidName(did);
  if (n == 0) return text;
  if ((did & 0xFF00) == 0xF400) {
    const PidInfo* pid = FindPid(static_cast<std::uint8_t>(did));
    if (pid != nullptr && n == pid->length) return Hex4(did) + " " + PidValue(*pid, p);
  }
  for (const DidInfo& info : kDids) {
    if (info.did == did && info.text) return text + " = " + TextOrBytes(p, n);
  }
  return text + " = " + Bytes(p, n);
}

// The 3-byte DTCs of ReadDTCInformation with their status: "P0133-00 (status 2F)".
std::string UdsDtcRecords(const std::uint8_t* p, std::size_t n) {
  std::string text;
  std::size_t count = 0, at = 0;
  for (; at + 4 <= n; at += 4) {
    if (count < kShownDtcs) text += " " + DtcText(p[at], p[at + 1]) + "-" + Hex2(p[at + 2]) + " (status " + Hex2(p[at + 3]) + ")";
    ++count;
  }
  if (count > kShownDtcs) text += " ...";
  if (at < n) text += " and " + Bytes(p + at, n - at);
  return std::to_string(count) + " DTC(s)" + (text.empty() ? "" : ":" + text);
}

std::string UdsDetail(std::uint8_t sid, bool response, const std::uint8_t* d, std::size_t m) {
  if (m == 0) return {};
  switch (sid) {
    case 0x22:
      if (response && m >= 2) return DidValue(static_cast<std::uint16_t>(d[0] << 8 | d[1]), d + 2, m - 2);
      if (!response && m % 2 == 0) {
        std::string text;
        for (std::size_t i = 0; i + 1 < m && i < kShownItems; i += 2) {
          if (!text.empty()) text += ", ";
          text += DidName(static_cast<std::uint16_t>(d[i] << 8 | d[i + 1]));
        }
        return text;
      }
      break;
    case 0x2E:
      if (m >= 2) {
        const std::uint16_t did = static_cast<std::uint16_t>(d[0] << 8 | d[1]);
        return response ? DidName(did) : DidValue(did, d + 2, m - 2);
      }
      break;
    case 0x14:
      if (!response && m == 3) {
        return (d[0] == 0xFF && d[1] == 0xFF && d[2] == 0xFF) ? "all groups"
                                                             : "group " + Hex2(d[0]) + Hex2(d[1]) + Hex2(d[2]);
      }
      break;
    case 0x19:
      if (response && (d[0] & 0x7F) == 0x02 && m >= 2) return "status mask " + Hex2(d[1]) + ", " + UdsDtcRecords(d + 2, m - 2);
      break;
    case 0x31:
      if (m >= 3) {
        std::string text = SubFunctionText(sid, d[0], !response) + " routine " + Hex4(static_cast<unsigned>(d[1] << 8 | d[2]));
        if (m > 3) text += ": " + Bytes(d + 3, m - 3);
        return text;
      }
      break;
    case 0x36:
      return "block " + std::to_string(d[0]) + ", " + std::to_string(m - 1) + " bytes";
    default:
      break;
  }
  const ServiceInfo* info = FindService(sid);
  if (info != nullptr && info->subFunction) {
    std::string text = SubFunctionText(sid, d[0], !response);
    if (m > 1) text += ": " + Bytes(d + 1, m - 1);
    return text;
  }
  return Bytes(d, m);
}

}  // namespace

// Negative response codes of ISO 14229-1 (KWP2000, ISO 14230-3, uses the same
// values for the common ones). 0x78 requestCorrectlyReceived-ResponsePending
// is shown as "response pending".
const char* NrcName(std::uint8_t nrc) {
  switch (nrc) {
    case 0x10: return "general reject";
    case 0x11: return "service not supported";
    case 0x12: return "sub-function not supported";
    case 0x13: return "incorrect message length or invalid format";
    case 0x14: return "response too long";
    case 0x21: return "busy, repeat request";
    case 0x22: return "conditions not correct";
    case 0x24: return "request sequence error";
    case 0x25: return "no response from subnet component";
    case 0x26: return "failure prevents execution of requested action";
    case 0x31: return "request out of range";
    case 0x33: return "security access denied";
    case 0x34: return "authentication required";
    case 0x35: return "invalid key";
    case 0x36: return "exceeded number of attempts";
    case 0x37: return "required time delay not expired";
    // 0x38-0x3A as the 2020 edition names them; one description also keeps the older secured-link (ISO 15764) names here.
    case 0x38: return "secure data transmission required";
    case 0x39: return "secure data transmission not allowed";
    case 0x3A: return "secure data verification failed";
    case 0x50: return "certificate verification failed: invalid time period";
    case 0x51: return "certificate verification failed: invalid signature";
    case 0x52: return "certificate verification failed: invalid chain of trust";
    case 0x53: return "certificate verification failed: invalid type";
    case 0x54: return "certificate verification failed: invalid format";
    case 0x55: return "certificate verification failed: invalid content";
    case 0x56: return "certificate verification failed: invalid scope";
    case 0x57: return "certificate verification failed: invalid certificate (revoked)";
    case 0x58: return "ownership verification failed";
    case 0x59: return "challenge calculation failed";
    case 0x5A: return "setting access rights failed";
    case 0x5B: return "session key creation/derivation failed";
    case 0x5C: return "configuration data usage failed";
    case 0x5D: return "deauthentication failed";
    case 0x70: return "upload/download not accepted";
    case 0x71: return "transfer data suspended";
    case 0x72: return "general programming failure";
    case 0x73: return "wrong block sequence counter";
    case 0x78: return "response pending";
    case 0x7E: return "sub-function not supported in active session";
    case 0x7F: return "service not supported in active session";
    case 0x81: return "RPM too high";
    case 0x82: return "RPM too low";
    case 0x83: return "engine is running";
    case 0x84: return "engine is not running";
    case 0x85: return "engine run time too low";
    case 0x86: return "temperature too high";
    case 0x87: return "temperature too low";
    case 0x88: return "vehicle speed too high";
    case 0x89: return "vehicle speed too low";
    case 0x8A: return "throttle/pedal too high";
    case 0x8B: return "throttle/pedal too low";
    case 0x8C: return "transmission range not in neutral";
    case 0x8D: return "transmission range not in gear";
    case 0x8F: return "brake switch(es) not closed";
    case 0x90: return "shifter lever not in park";
    case 0x91: return "torque converter clutch locked";
    case 0x92: return "voltage too high";
    case 0x93: return "voltage too low";
    case 0x94: return "resource temporarily not available";
  }
  return "";
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

std::string ServiceText(const std::uint8_t* data, std::size_t size, ServiceMarks* marks) {
  if (size == 0 || data == nullptr) return "no data";
  const std::uint8_t sid = data[0];
  if (sid == 0x7F) {
    if (size < 3) return "negative response: " + Bytes(data, size);
    const std::uint8_t nrc = data[2];
    const bool obd = data[1] >= 0x01 && data[1] <= 0x0A;
    const ServiceInfo* info = FindService(data[1]);
    const std::string family = obd ? "OBD " : (info != nullptr && info->kwp) ? "KWP2000 " : "UDS ";
    const std::string service = obd ? "mode " + Hex2(data[1]) : ServiceName(data[1]);
    const char* name = NrcName(nrc);
    if (marks != nullptr) {
      marks->nrc = nrc;
      (nrc == 0x78 ? marks->pending : marks->negative) = true;
    }
    std::string text = nrc == 0x78 ? family + "response pending for " + service
                                   : family + "negative response to " + service + ": " +
                                         (name[0] != '\0' ? name : "unknown code");
    text += " (NRC " + Hex2(nrc) + ")";
    if (size > 3) text += " " + Bytes(data + 3, size - 3);
    return text;
  }
  const std::uint8_t base = sid & 0xBF;  // the request's id of a positive response
  if ((sid >= 0x01 && sid <= 0x0A) || (sid >= 0x41 && sid <= 0x4A)) return ObdText(data, size);
  const ServiceInfo* info = FindService(sid);
  bool response = false;
  if (info == nullptr && (sid & 0x40) != 0) {
    info = FindService(base);
    response = info != nullptr;
  }
  if (info == nullptr) return "unknown service " + Hex2(sid) + ": " + Bytes(data, size);
  std::string text = std::string(info->kwp ? "KWP2000 " : "UDS ") + info->name +
                     (response ? " positive response" : " request");
  const std::string detail = UdsDetail(info->sid, response, data + 1, size - 1);
  return detail.empty() ? text : text + ": " + detail;
}

// The OBD-II CAN ids of ISO 15765-4 (SAE J1979 on CAN): 11-bit 7DF functional
// request, 7E0-7E7 physical request to ECU 1-8, 7E8-7EF its response; 29-bit
// 18DB33F1 functional request, 18DA<ecu>F1 physical request (tester F1 as
// source), 18DAF1<ecu> response. One description lists 18DAxxF1 among the
// response ids; the target/source order of the 29-bit id makes it the request.
std::string CanIdText(std::uint32_t id, bool extended) {
  // "7E8" or "18DAF110": three or eight upper-case hex digits (more when an 11-bit id is not).
  static const char kDigits[] = "0123456789ABCDEF";
  const int least = extended ? 8 : 3;
  char digits[8];
  int n = 0;
  for (std::uint32_t rest = id; n < 8 && (rest != 0 || n < least); rest >>= 4) digits[7 - n++] = kDigits[rest & 0xF];
  const std::string hex(digits + 8 - n, static_cast<std::size_t>(n));
  const std::string ecu = CanIdEcu(id, extended);
  if (!extended) {
    if (id == 0x7DF) return std::string(hex) + " functional request";
    if (id >= 0x7E0 && id <= 0x7E7) return std::string(hex) + " request to " + ecu;
    if (id >= 0x7E8 && id <= 0x7EF) return std::string(hex) + " response from " + ecu;
  } else {
    if (id == 0x18DB33F1) return std::string(hex) + " functional request";
    if ((id & 0xFFFF00FF) == 0x18DA00F1) return std::string(hex) + " request to " + ecu;
    if ((id & 0xFFFFFF00) == 0x18DAF100) return std::string(hex) + " response from " + ecu;
  }
  return hex;
}

std::string CanIdEcu(std::uint32_t id, bool extended) {
  if (!extended) {
    if (id >= 0x7E0 && id <= 0x7E7) return "ECU " + std::to_string(id - 0x7E0 + 1);
    if (id >= 0x7E8 && id <= 0x7EF) return "ECU " + std::to_string(id - 0x7E8 + 1);
    return {};
  }
  if ((id & 0xFFFF00FF) == 0x18DA00F1 && id != 0x18DAF1F1) return "ECU " + Hex2(static_cast<std::uint8_t>(id >> 8));
  if ((id & 0xFFFFFF00) == 0x18DAF100) return "ECU " + Hex2(static_cast<std::uint8_t>(id));
  return {};
}

// ---- frames and the conversation ------------------------------------------
// ISO 15765-2 frames: PCI type 0 single, 1 first (12-bit length, or 0 and a
// 32-bit one), 2 consecutive (sequence 1..15, 0, ...), 3 flow control (status
// 0 continue to send, 1 wait, 2 overflow; STmin 00-7F ms, F1-F9 100-900 us).

namespace {

// Adds `item` to a `separator`-separated list unless it is there already.
void AddUnique(std::string* list, const std::string& item, char separator) {
  std::size_t at = 0;
  while (at <= list->size()) {
    std::size_t end = list->find(separator, at);
    if (end == std::string::npos) end = list->size();
    if (list->compare(at, end - at, item) == 0) return;
    at = end + 1;
  }
  if (!list->empty()) *list += separator;
  *list += item;
}

void NoteMarks(const ServiceMarks& marks, Conversation* conversation) {
  if (marks.nrc < 0 || conversation == nullptr) return;
  conversation->negative |= marks.negative;
  conversation->pending |= marks.pending;
  AddUnique(&conversation->nrcs, Hex2(static_cast<std::uint8_t>(marks.nrc)), ' ');
}

}  // namespace

ConversationDecoder::Stream* ConversationDecoder::Find(const DiagFrame& frame, std::uint32_t id, int address) {
  for (Stream& s : streams_) {
    if (s.channel == frame.channel && s.id == id && s.extended == frame.extendedId && s.address == address) {
      s.lastUse = ++clock_;
      return &s;
    }
  }
  return nullptr;
}

ConversationDecoder::Stream* ConversationDecoder::Start(const DiagFrame& frame, std::uint32_t id, int address) {
  Stream* s = Find(frame, id, address);
  if (s == nullptr) {
    if (streams_.size() < kMaxStreams) {
      streams_.emplace_back();
      s = &streams_.back();
    } else {  // the longest unused one makes room
      s = &*std::min_element(streams_.begin(), streams_.end(),
                             [](const Stream& a, const Stream& b) { return a.lastUse < b.lastUse; });
    }
  }
  s->channel = frame.channel;
  s->id = id;
  s->extended = frame.extendedId;
  s->address = address;
  s->nextSequence = 1;
  s->lastUse = ++clock_;
  s->data.clear();
  return s;
}

void ConversationDecoder::Forget(Stream* stream) {
  if (stream != &streams_.back()) *stream = std::move(streams_.back());
  streams_.pop_back();
}

void ConversationDecoder::AppendCanFrameText(const DiagFrame& frame, std::uint32_t id, const std::uint8_t* p,
                                             std::size_t n, int address, Conversation* conversation,
                                             std::string* text) {
  if (n == 0) {
    *text += "no data";
    return;
  }
  const bool track = !frame.echo;
  ServiceMarks marks;
  switch (p[0] >> 4) {
    case 0: {  // single frame (a CAN FD one puts its length in the next byte)
      std::size_t length = p[0] & 15;
      std::size_t at = 1;
      if (length == 0 && n > 8) {
        length = p[1];
        at = 2;
      }
      if (length == 0 || at + length > n) {
        *text += "single frame, length ";
        *text += std::to_string(length);
        *text += ": ";
        AppendBytes(text, p, n);
        return;
      }
      *text += "single frame: ";
      *text += ServiceText(p + at, length, &marks);
      break;
    }
    case 1: {  // first frame: 12-bit length, or 0 and a 32-bit one
      std::size_t length = 0;
      std::size_t at = 2;
      bool cut = n < 2;
      if (!cut) {
        length = static_cast<std::size_t>(p[0] & 15) << 8 | p[1];
        if (length == 0) {
          cut = n < 6;
          if (!cut) {
            length = static_cast<std::size_t>(p[2]) << 24 | static_cast<std::size_t>(p[3]) << 16 |
                     static_cast<std::size_t>(p[4]) << 8 | p[5];
            at = 6;
          }
        }
      }
      if (cut) {
        *text += "first frame, cut: ";
        AppendBytes(text, p, n);
        return;
      }
      *text += "first frame of ";
      *text += std::to_string(length);
      *text += " bytes: ";
      AppendBytes(text, p + at, n - at);
      if (track && length <= kMaxMessageBytes && length > n - at) {
        Stream* s = Start(frame, id, address);
        s->expected = length;
        s->data.assign(p + at, p + n);
      }
      break;
    }
    case 2: {  // consecutive frame
      const std::uint8_t sequence = p[0] & 15;
      *text += "consecutive frame ";
      *text += std::to_string(sequence);
      if (!track) {
        *text += ": ";
        AppendBytes(text, p + 1, n - 1);
        return;
      }
      Stream* s = Find(frame, id, address);
      if (s == nullptr) {
        *text += " (no first frame logged): ";
        AppendBytes(text, p + 1, n - 1);
        return;
      }
      if (sequence != s->nextSequence) {
        *text += " out of sequence (expected " + std::to_string(s->nextSequence) + "): message dropped";
        Forget(s);
        return;
      }
      s->nextSequence = (s->nextSequence + 1) & 15;
      const std::size_t take = std::min(n - 1, s->expected - s->data.size());
      s->data.insert(s->data.end(), p + 1, p + 1 + take);
      if (s->data.size() < s->expected) {
        *text += " (" + std::to_string(s->data.size()) + " of " + std::to_string(s->expected) + " bytes)";
        return;
      }
      *text += ", last of " + std::to_string(s->expected) + " bytes: " + ServiceText(s->data.data(), s->data.size(), &marks);
      Forget(s);
      break;
    }
    case 3: {  // flow control
      const std::uint8_t status = p[0] & 15;
      *text += "flow control: ";
      *text += status == 0 ? "continue to send" : status == 1 ? "wait" : status == 2 ? "overflow" : "status " + Hex2(status);
      if (n >= 3) {
        *text += ", block size " + std::to_string(p[1]) + ", STmin ";
        if (p[2] <= 0x7F) *text += std::to_string(p[2]) + " ms";
        else if (p[2] >= 0xF1 && p[2] <= 0xF9) *text += std::to_string((p[2] - 0xF0) * 100) + " us";
        else *text += Hex2(p[2]) + " (reserved)";
      }
      return;
    }
    default:
      *text += "not an ISO 15765-2 frame: ";
      AppendBytes(text, p, n);
      return;
  }
  NoteMarks(marks, conversation);
}

void ConversationDecoder::AppendFrameText(const DiagFrame& frame, Conversation* conversation, std::string* text) {
  const std::uint8_t* p = frame.bytes.data();
  std::size_t n = frame.bytes.size();
  ServiceMarks marks;
  if (frame.kind == FrameKind::Payload) {
    *text += ServiceText(p, n, &marks);
  } else {
    if (n < 4) {
      *text += "CAN id cut: ";
      AppendBytes(text, p, n);
      return;
    }
    const std::uint32_t id = static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
                             static_cast<std::uint32_t>(p[2]) << 8 | p[3];
    p += 4;
    n -= 4;
    *text += CanIdText(id, frame.extendedId);
    if (conversation != nullptr) {
      const std::string ecu = CanIdEcu(id, frame.extendedId);
      if (!ecu.empty()) AddUnique(&conversation->ecu, ecu, ';');
    }
    if (frame.echo) *text += " (echo of a sent frame)";
    int address = -1;
    if (frame.extendedAddress && n > 0) {
      address = p[0];
      *text += ", address " + Hex2(p[0]);
      ++p;
      --n;
    }
    if (frame.indication) {
      *text += frame.sent ? ": transmission done (indication)" : ": first frame received (indication)";
      return;
    }
    *text += ": ";
    if (frame.kind == FrameKind::Can) {
      AppendCanFrameText(frame, id, p, n, address, conversation, text);
      return;
    }
    *text += ServiceText(p, n, &marks);
  }
  NoteMarks(marks, conversation);
}

std::string ConversationDecoder::FrameText(const DiagFrame& frame, Conversation* conversation) {
  std::string text;
  AppendFrameText(frame, conversation, &text);
  return text;
}

void ConversationDecoder::Decode(LogEntry* entry) {
  Conversation& c = entry->conversation;
  for (const DiagFrame& frame : entry->frames) {
    if (!c.text.empty()) c.text += '\n';
    c.text += frame.label;
    c.text += ": ";
    AppendFrameText(frame, &c, &c.text);
    // Decoded as far as it was logged: say so rather than pass a part for the whole.
    if (frame.total > frame.bytes.size()) {
      c.text += " [cut: " + std::to_string(frame.bytes.size()) + " of " + std::to_string(frame.total) + " bytes logged]";
    }
  }
}

}  // namespace monitor
