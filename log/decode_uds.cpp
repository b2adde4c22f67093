// The decoder's UDS (ISO 14229) and KWP2000 part: services, sub-functions,
// identification DIDs, DTC records and the negative response codes.
#include "log/diag_decode.h"

#include <algorithm>
#include <cstdio>

#include "log/decode_parts.h"

namespace monitor {

using namespace decode;

namespace {

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
  if (sid >= 0x01 && sid <= 0x0A) return std::string("OBD mode ").append(Hex2(sid));
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
    if (name != nullptr) text = name;
    else text.assign("sub-function ").append(Hex2(sub));
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
    std::string value;
    if (PidValueOfLength(static_cast<std::uint8_t>(did), p, n, &value)) return Hex4(did) + " " + value;
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
    if (count < kShownDtcs) {
      text.append(" ").append(DtcText(p[at], p[at + 1])).append("-").append(Hex2(p[at + 2]));
      text.append(" (status ").append(Hex2(p[at + 3])).append(")");
    }
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
      if (response && (d[0] & 0x7F) == 0x02 && m >= 2) {
        return std::string("status mask ").append(Hex2(d[1])).append(", ").append(UdsDtcRecords(d + 2, m - 2));
      }
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

std::string ServiceText(const std::uint8_t* data, std::size_t size, ServiceMarks* marks) {
  if (size == 0 || data == nullptr) return "no data";
  const std::uint8_t sid = data[0];
  if (sid == 0x7F) {
    if (size < 3) return "negative response: " + Bytes(data, size);
    const std::uint8_t nrc = data[2];
    const bool obd = data[1] >= 0x01 && data[1] <= 0x0A;
    const ServiceInfo* info = FindService(data[1]);
    const std::string family = obd ? "OBD " : (info != nullptr && info->kwp) ? "KWP2000 " : "UDS ";
    const std::string service = obd ? std::string("mode ").append(Hex2(data[1])) : ServiceName(data[1]);
    const char* name = NrcName(nrc);
    if (marks != nullptr) {
      marks->nrc = nrc;
      (nrc == 0x78 ? marks->pending : marks->negative) = true;
    }
    std::string text = nrc == 0x78 ? family + "response pending for " + service
                                   : family + "negative response to " + service + ": " +
                                         (name[0] != '\0' ? name : "unknown code");
    text += " (NRC " + Hex2(nrc) + ")";
    if (size > 3) text.append(" ").append(Bytes(data + 3, size - 3));
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

}  // namespace monitor
