// The decoders of the D-PDU API's items into the texts of the monitor's log
// (declared in monitor/pdu/pdu_record.h): every structure, array and text
// read through the memory gate, every count capped.
#include "monitor/pdu/pdu_record.h"

#include <algorithm>
#include <cstdio>
#include <type_traits>

#include "monitor/memory_probe.h"
#include "log/text_rules.h"
#include "pdu/pdu_names.h"

namespace monitor {

using namespace pdu;

namespace {

std::string Dec(std::uint64_t value) { return std::to_string(value); }
std::string SDec(std::int64_t value) { return std::to_string(value); }

std::uint32_t Shown(std::uint32_t count) { return std::min(count, kPduMaxLoggedEntries); }

std::string More(std::uint32_t count, std::uint32_t shown) {
  return shown < count ? "\n(" + Dec(count - shown) + " more not logged)" : std::string();
}

// The mark of memory the application (or the library) pointed to that cannot be read.
std::string NotReadable(const void* p) { return PointerText(p) + " (not readable)"; }

// After `shown` readable entries of `wanted`: the note that the rest could not be read.
std::string Unreadable(std::uint32_t wanted, std::uint32_t readable) {
  return readable < wanted ? "\n(" + Dec(wanted - readable) + " more not readable)" : std::string();
}

// How many of the first `count` entries at `p` (at most the cap) can be read.
template <typename T>
std::uint32_t ReadableEntries(const T* p, std::uint32_t count) {
  return static_cast<std::uint32_t>(Foreign<T>::Probe(p, Shown(count)));
}

// A foreign C text of at most `limit` bytes, quoted, or its mark when unreadable.
std::string QuotedText(const char* text, std::size_t limit) {
  if (text == nullptr) return "NULL";
  const std::size_t readable = ReadableTextBytes(text, limit);
  if (readable == 0) return NotReadable(text);
  std::string quoted = "\"" + PrintableText(text, readable) + "\"";
  if (readable < limit && text[readable - 1] != '\0') quoted += " (the rest not readable)";
  return quoted;
}

std::string Bytes(const std::uint8_t* data, std::uint32_t size, std::uint32_t cap) {
  if (size == 0) return "(none)";
  if (data == nullptr) return "NULL";
  const std::uint32_t shown = std::min(size, cap);
  const auto readable = static_cast<std::uint32_t>(ReadableBytes(data, shown));
  if (readable == 0) return NotReadable(data);
  std::string text = HexDump(data, readable, 0);
  if (readable < shown) {
    text += " (" + Dec(readable) + " of " + Dec(size) + " bytes; the rest not readable)";
  } else if (shown < size) {
    text += " (" + Dec(shown) + " of " + Dec(size) + " bytes)";
  }
  return text;
}
}  // namespace

std::string ParamItemText(const PDU_PARAM_ITEM* p, const ObjectNames& names) {
  if (p == nullptr) return "NULL";
  PDU_PARAM_ITEM item;
  if (!Foreign<PDU_PARAM_ITEM>::Read(p, &item)) return NotReadable(p);
  std::string text = names.Text(PDU_OBJT_COMPARAM, item.ComParamId);
  if (item.ItemType != PDU_IT_PARAM) text += " ItemType " + NameOr(ItemTypeName(item.ItemType), item.ItemType);
  text += " " + NameOr(ParamTypeName(item.ComParamDataType), item.ComParamDataType) +
          " class " + Dec(item.ComParamClass);
  const void* data = item.pComParamData;
  if (data == nullptr) return text + " = NULL";
  // Reads one value of type T at `data`, or says it cannot.
  const auto scalar = [&](auto sample) -> std::string {
    using T = decltype(sample);
    T value{};
    if (!Foreign<T>::Read(static_cast<const T*>(data), &value)) return text + " = " + NotReadable(data);
    if constexpr (std::is_signed_v<T>) {
      return text + " = " + SDec(value);
    } else {
      return text + " = " + Dec(value) + (sizeof(T) == 4 ? " (" + Hex32(value) + ")" : std::string());
    }
  };
  switch (item.ComParamDataType) {
    case PDU_PT_UNUM8: return scalar(UNUM8{});
    case PDU_PT_SNUM8: return scalar(std::int8_t{});
    case PDU_PT_UNUM16: return scalar(UNUM16{});
    case PDU_PT_SNUM16: return scalar(std::int16_t{});
    case PDU_PT_UNUM32: return scalar(UNUM32{});
    case PDU_PT_SNUM32: return scalar(SNUM32{});
    case PDU_PT_BYTEFIELD: {
      PDU_PARAM_BYTEFIELD_DATA field;
      if (!Foreign<PDU_PARAM_BYTEFIELD_DATA>::Read(static_cast<const PDU_PARAM_BYTEFIELD_DATA*>(data), &field))
        return text + " = " + NotReadable(data);
      return text + " = [" + Dec(field.ParamActLen) + " of max " + Dec(field.ParamMaxLen) +
             "] " + Bytes(field.pDataArray, field.ParamActLen, kPduMaxLoggedBytes);
    }
    case PDU_PT_LONGFIELD: {
      PDU_PARAM_LONGFIELD_DATA field;
      if (!Foreign<PDU_PARAM_LONGFIELD_DATA>::Read(static_cast<const PDU_PARAM_LONGFIELD_DATA*>(data), &field))
        return text + " = " + NotReadable(data);
      text += " = [" + Dec(field.ParamActLen) + " of max " + Dec(field.ParamMaxLen) + "]";
      if (field.ParamActLen > 0 && field.pDataArray == nullptr) return text + " NULL";
      const std::uint32_t shown = Shown(field.ParamActLen);
      const std::uint32_t readable = ReadableEntries(field.pDataArray, field.ParamActLen);
      for (std::uint32_t i = 0; i < readable; ++i) text += " " + Dec(field.pDataArray[i]);
      return text + Unreadable(shown, readable) + More(field.ParamActLen, shown);
    }
    default:
      return text + " = (data at " + PointerText(data) + ")";
  }
}

std::string RscDataText(const PDU_RSC_DATA* p, const ObjectNames& names) {
  if (p == nullptr) return "NULL";
  PDU_RSC_DATA data;
  if (!Foreign<PDU_RSC_DATA>::Read(p, &data)) return NotReadable(p);
  std::string text = "BusType " + names.Text(PDU_OBJT_BUSTYPE, data.BusTypeId) + ", Protocol " +
                     names.Text(PDU_OBJT_PROTOCOL, data.ProtocolId) + ", " +
                     Dec(data.NumPinData) + " pin(s)";
  if (data.NumPinData > 0 && data.pDLCPinData == nullptr) return text + " at NULL";
  const std::uint32_t shown = Shown(data.NumPinData);
  const std::uint32_t readable = ReadableEntries(data.pDLCPinData, data.NumPinData);
  for (std::uint32_t i = 0; i < readable; ++i)
    text += (i == 0 ? ": " : ", ") + Dec(data.pDLCPinData[i].DLCPinNumber) + " " +
            names.Text(PDU_OBJT_PINTYPE, data.pDLCPinData[i].DLCPinTypeId);
  if (readable == 0 && shown > 0) return text + " at " + NotReadable(data.pDLCPinData);
  return text + Unreadable(shown, readable) + More(data.NumPinData, shown);
}

std::string FlagDataText(const PDU_FLAG_DATA* p) {
  if (p == nullptr) return "NULL";
  PDU_FLAG_DATA flags;
  if (!Foreign<PDU_FLAG_DATA>::Read(p, &flags)) return NotReadable(p);
  if (flags.NumFlagBytes == 0) return "none";
  return Dec(flags.NumFlagBytes) + " flag byte(s) " +
         Bytes(flags.pFlagData, flags.NumFlagBytes, kPduMaxLoggedEntries);
}

std::string CopCtrlText(const PDU_COP_CTRL_DATA* p) {
  if (p == nullptr) return "NULL";
  PDU_COP_CTRL_DATA ctrl;
  if (!Foreign<PDU_COP_CTRL_DATA>::Read(p, &ctrl)) return NotReadable(p);
  // Built in one buffer: this runs on the calling thread of every ComPrimitive.
  std::string text;
  text.reserve(160);
  text.append("Time ").append(Dec(ctrl.Time)).append(" ms, NumSendCycles ");
  text.append(SDec(ctrl.NumSendCycles)).append(", NumReceiveCycles ");
  text.append(SDec(ctrl.NumReceiveCycles)).append(", TempParamUpdate ");
  text.append(Dec(ctrl.TempParamUpdate)).append(", TxFlag ");
  text.append(FlagDataText(&p->TxFlag));
  text.append(", ").append(Dec(ctrl.NumPossibleExpectedResponses)).append(" expected response(s)");
  if (ctrl.NumPossibleExpectedResponses > 0 && ctrl.pExpectedResponseArray == nullptr)
    return text + " at NULL";
  const std::uint32_t shown = Shown(ctrl.NumPossibleExpectedResponses);
  const std::uint32_t readable =
      ReadableEntries(ctrl.pExpectedResponseArray, ctrl.NumPossibleExpectedResponses);
  if (readable == 0 && shown > 0) return text + " at " + NotReadable(ctrl.pExpectedResponseArray);
  for (std::uint32_t i = 0; i < readable; ++i) {
    const PDU_EXP_RESP_DATA& r = ctrl.pExpectedResponseArray[i];
    const std::uint32_t n = std::min(r.NumMaskPatternBytes, kPduMaxLoggedEntries);
    // Appended piece by piece: GCC 12 warns wrongly (-Wrestrict) of "literal" + std::string.
    text += '\n';
    text += r.ResponseType == 0 ? "positive" : r.ResponseType == 1 ? "negative" : "type " + Dec(r.ResponseType);
    text += ", AcceptanceId " + Dec(r.AcceptanceId) + ", mask " + Bytes(r.pMaskData, n, n) +
            ", pattern " + Bytes(r.pPatternData, n, n) + ", " + Dec(r.NumUniqueRespIds) +
            " unique response id(s)";
    if (r.NumUniqueRespIds > 0 && r.pUniqueRespIds != nullptr) {
      const std::uint32_t ids = Shown(r.NumUniqueRespIds);
      const std::uint32_t readableIds = ReadableEntries(r.pUniqueRespIds, r.NumUniqueRespIds);
      for (std::uint32_t k = 0; k < readableIds; ++k) (text += ' ') += Dec(r.pUniqueRespIds[k]);
      if (readableIds < ids) text += " (" + Dec(ids - readableIds) + " not readable)";
    }
  }
  return text + Unreadable(shown, readable) + More(ctrl.NumPossibleExpectedResponses, shown);
}

std::string VersionText(const PDU_VERSION_DATA* p) {
  if (p == nullptr) return "NULL";
  PDU_VERSION_DATA v;
  if (!Foreign<PDU_VERSION_DATA>::Read(p, &v)) return NotReadable(p);
  return "Part1 " + Hex32(v.MVCI_Part1StandardVersion) + ", Part2 " +
         Hex32(v.MVCI_Part2StandardVersion) + ", HwSerialNumber " + Dec(v.HwSerialNumber) +
         ", HwName \"" + PrintableText(v.HwName, sizeof(v.HwName)) + "\", HwVersion " +
         Hex32(v.HwVersion) + ", HwDate " + Hex32(v.HwDate) + ", HwInterface " +
         Hex32(v.HwInterface) + ", FwName \"" + PrintableText(v.FwName, sizeof(v.FwName)) +
         "\", FwVersion " + Hex32(v.FwVersion) + ", FwDate " + Hex32(v.FwDate) +
         ", VendorName \"" + PrintableText(v.VendorName, sizeof(v.VendorName)) +
         "\", PDUApiSwName \"" + PrintableText(v.PDUApiSwName, sizeof(v.PDUApiSwName)) +
         "\", PDUApiSwVersion " + Hex32(v.PDUApiSwVersion) + ", PDUApiSwDate " +
         Hex32(v.PDUApiSwDate);
}

std::string ModuleItemText(const PDU_MODULE_ITEM* p) {
  if (p == nullptr) return "NULL";
  PDU_MODULE_ITEM item;
  if (!Foreign<PDU_MODULE_ITEM>::Read(p, &item)) return NotReadable(p);
  std::string text = Dec(item.NumEntries) + " module(s)";
  if (item.NumEntries > 0 && item.pModuleData == nullptr) return text + " at NULL";
  const std::uint32_t shown = Shown(item.NumEntries);
  const std::uint32_t readable = ReadableEntries(item.pModuleData, item.NumEntries);
  if (readable == 0 && shown > 0) return text + " at " + NotReadable(item.pModuleData);
  for (std::uint32_t i = 0; i < readable; ++i) {
    const PDU_MODULE_DATA& m = item.pModuleData[i];
    text += "\nhMod " + HandleText(m.hMod) + ", ModuleTypeId " + Hex32(m.ModuleTypeId) + ", " +
            QuotedText(m.pVendorModuleName, kPduShortNameLimit) + ", " +
            QuotedText(m.pVendorAdditionalInfo, kPduShortNameLimit) + ", " +
            NameOr(StatusName(m.ModuleStatus), m.ModuleStatus);
  }
  return text + Unreadable(shown, readable) + More(item.NumEntries, shown);
}

std::string RscIdItemText(const PDU_RSC_ID_ITEM* p) {
  if (p == nullptr) return "NULL";
  PDU_RSC_ID_ITEM item;
  if (!Foreign<PDU_RSC_ID_ITEM>::Read(p, &item)) return NotReadable(p);
  std::string text = Dec(item.NumModules) + " module(s)";
  if (item.NumModules > 0 && item.pResourceIdDataArray == nullptr) return text + " at NULL";
  const std::uint32_t shown = Shown(item.NumModules);
  const std::uint32_t readable = ReadableEntries(item.pResourceIdDataArray, item.NumModules);
  if (readable == 0 && shown > 0) return text + " at " + NotReadable(item.pResourceIdDataArray);
  for (std::uint32_t i = 0; i < readable; ++i) {
    const PDU_RSC_ID_ITEM_DATA& d = item.pResourceIdDataArray[i];
    text += "\nhMod " + HandleText(d.hMod) + ": " + Dec(d.NumIds) + " resource id(s)";
    if (d.NumIds > 0 && d.pResourceIdArray == nullptr) {
      text += " at NULL";
      continue;
    }
    const std::uint32_t ids = Shown(d.NumIds);
    const std::uint32_t readableIds = ReadableEntries(d.pResourceIdArray, d.NumIds);
    for (std::uint32_t k = 0; k < readableIds; ++k) (text += ' ') += Dec(d.pResourceIdArray[k]);
    text += Unreadable(ids, readableIds) + More(d.NumIds, ids);
  }
  return text + Unreadable(shown, readable) + More(item.NumModules, shown);
}

std::string RscStatusItemText(const PDU_RSC_STATUS_ITEM* p) {
  if (p == nullptr) return "NULL";
  PDU_RSC_STATUS_ITEM item;
  if (!Foreign<PDU_RSC_STATUS_ITEM>::Read(p, &item)) return NotReadable(p);
  std::string text = Dec(item.NumEntries) + " entr" + (item.NumEntries == 1 ? "y" : "ies");
  if (item.NumEntries > 0 && item.pResourceStatusData == nullptr) return text + " at NULL";
  const std::uint32_t shown = Shown(item.NumEntries);
  const std::uint32_t readable = ReadableEntries(item.pResourceStatusData, item.NumEntries);
  if (readable == 0 && shown > 0) return text + " at " + NotReadable(item.pResourceStatusData);
  for (std::uint32_t i = 0; i < readable; ++i) {
    const PDU_RSC_STATUS_DATA& d = item.pResourceStatusData[i];
    text += "\nhMod " + HandleText(d.hMod) + ", ResourceId " + Dec(d.ResourceId) +
            ", ResourceStatus " + Hex32(d.ResourceStatus);
  }
  return text + Unreadable(shown, readable) + More(item.NumEntries, shown);
}

std::string ConflictItemText(const PDU_RSC_CONFLICT_ITEM* p) {
  if (p == nullptr) return "NULL";
  PDU_RSC_CONFLICT_ITEM item;
  if (!Foreign<PDU_RSC_CONFLICT_ITEM>::Read(p, &item)) return NotReadable(p);
  std::string text = Dec(item.NumEntries) + " conflict(s)";
  if (item.NumEntries > 0 && item.pRscConflictData == nullptr) return text + " at NULL";
  const std::uint32_t shown = Shown(item.NumEntries);
  const std::uint32_t readable = ReadableEntries(item.pRscConflictData, item.NumEntries);
  if (readable == 0 && shown > 0) return text + " at " + NotReadable(item.pRscConflictData);
  for (std::uint32_t i = 0; i < readable; ++i)
    text += "\nhMod " + HandleText(item.pRscConflictData[i].hMod) + ", ResourceId " +
            Dec(item.pRscConflictData[i].ResourceId);
  return text + Unreadable(shown, readable) + More(item.NumEntries, shown);
}

std::string UniqueRespTableText(const PDU_UNIQUE_RESP_ID_TABLE_ITEM* p, const ObjectNames& names) {
  if (p == nullptr) return "NULL";
  PDU_UNIQUE_RESP_ID_TABLE_ITEM table;
  if (!Foreign<PDU_UNIQUE_RESP_ID_TABLE_ITEM>::Read(p, &table)) return NotReadable(p);
  std::string text = Dec(table.NumEntries) + " unique response id(s)";
  if (table.NumEntries > 0 && table.pUniqueData == nullptr) return text + " at NULL";
  const std::uint32_t shown = Shown(table.NumEntries);
  const std::uint32_t readable = ReadableEntries(table.pUniqueData, table.NumEntries);
  if (readable == 0 && shown > 0) return text + " at " + NotReadable(table.pUniqueData);
  for (std::uint32_t i = 0; i < readable; ++i) {
    const PDU_ECU_UNIQUE_RESP_DATA& d = table.pUniqueData[i];
    text += "\nUniqueRespIdentifier " + Dec(d.UniqueRespIdentifier) + ": " +
            Dec(d.NumParamItems) + " ComParam(s)";
    if (d.NumParamItems > 0 && d.pParams == nullptr) {
      text += " at NULL";
      continue;
    }
    const std::uint32_t params = Shown(d.NumParamItems);
    // Each item is probed by ParamItemText; an unreadable one ends the list.
    std::uint32_t k = 0;
    for (; k < params && Foreign<PDU_PARAM_ITEM>::Readable(&d.pParams[k]); ++k)
      text += "\n  " + ParamItemText(&d.pParams[k], names);
    if (k == 0 && params > 0) text += " at " + NotReadable(d.pParams);
    else text += Unreadable(params, k);
    text += More(d.NumParamItems, params);
  }
  return text + Unreadable(shown, readable) + More(table.NumEntries, shown);
}

std::string DataItemText(const PDU_DATA_ITEM* p, std::uint32_t byteLimit) {
  if (p == nullptr) return "NULL";
  PDU_DATA_ITEM item;
  if (!Foreign<PDU_DATA_ITEM>::Read(p, &item)) return NotReadable(p);
  std::string text = NameOr(ItemTypeName(item.ItemType), item.ItemType);
  const void* data = item.pData;
  if (data == nullptr) return text + ", data NULL";
  switch (item.ItemType) {
    case PDU_IT_IO_UNUM32: {
      UNUM32 value = 0;
      if (!Foreign<UNUM32>::Read(static_cast<const UNUM32*>(data), &value)) return text + ", data " + NotReadable(data);
      return text + " = " + Dec(value);
    }
    case PDU_IT_IO_PROG_VOLTAGE: {
      PDU_IO_PROG_VOLTAGE_DATA v;
      if (!Foreign<PDU_IO_PROG_VOLTAGE_DATA>::Read(static_cast<const PDU_IO_PROG_VOLTAGE_DATA*>(data), &v))
        return text + ", data " + NotReadable(data);
      return text + " = " + Dec(v.ProgVoltage_mv) + " mV on pin " + Dec(v.PinOnDLC);
    }
    case PDU_IT_IO_BYTEARRAY: {
      PDU_IO_BYTEARRAY_DATA a;
      if (!Foreign<PDU_IO_BYTEARRAY_DATA>::Read(static_cast<const PDU_IO_BYTEARRAY_DATA*>(data), &a))
        return text + ", data " + NotReadable(data);
      const std::uint32_t cap = byteLimit != 0 ? std::min(byteLimit, kPduMaxLoggedBytes) : kPduMaxLoggedBytes;
      return text + " = " + Dec(a.DataSize) + " byte(s) " + Bytes(a.pData, a.DataSize, cap);
    }
    default:
      return text + ", data at " + PointerText(data);
  }
}

void AddEventItem(PduRecord& record, const PDU_EVENT_ITEM* p, std::uint32_t byteLimit) {
  if (p == nullptr) {
    record.Add("Event", "NULL");
    return;
  }
  PDU_EVENT_ITEM item;
  if (!Foreign<PDU_EVENT_ITEM>::Read(p, &item)) {
    record.Add("Event", NotReadable(p));
    return;
  }
  record.Add("Event", NameOr(ItemTypeName(item.ItemType), item.ItemType) + ", hCoP " +
                          HandleText(item.hCop) + ", CoPTag " + PointerText(item.pCoPTag) +
                          ", Timestamp " + Dec(item.Timestamp) + " us");
  const void* data = item.pData;
  if (data == nullptr) {
    record.Add("Data", "NULL");
    return;
  }
  switch (item.ItemType) {
    case PDU_IT_RESULT: {
      PDU_RESULT_DATA r;
      if (!Foreign<PDU_RESULT_DATA>::Read(static_cast<const PDU_RESULT_DATA*>(data), &r)) {
        record.Add("Result", NotReadable(data));
        break;
      }
      const auto* inPlace = static_cast<const PDU_RESULT_DATA*>(data);
      std::string text = "RxFlag " + FlagDataText(&inPlace->RxFlag) + ", UniqueRespIdentifier " +
                         Dec(r.UniqueRespIdentifier) + ", AcceptanceId " + Dec(r.AcceptanceId) +
                         ", TimestampFlags " + FlagDataText(&inPlace->TimestampFlags) +
                         ", TxMsgDoneTimestamp " + Dec(r.TxMsgDoneTimestamp) +
                         " us, StartMsgTimestamp " + Dec(r.StartMsgTimestamp) + " us";
      if (r.pExtraInfo != nullptr) {
        PDU_EXTRA_INFO extra;
        if (Foreign<PDU_EXTRA_INFO>::Read(r.pExtraInfo, &extra)) {
          text += ", ExtraInfo header " +
                  Bytes(extra.pHeaderBytes, extra.NumHeaderBytes, kPduMaxLoggedEntries) +
                  ", footer " + Bytes(extra.pFooterBytes, extra.NumFooterBytes, kPduMaxLoggedEntries);
        } else {
          text += ", ExtraInfo " + NotReadable(r.pExtraInfo);
        }
      }
      record.Add("Result", std::move(text));
      record.AddBytes("Data", r.pDataBytes, r.NumDataBytes, byteLimit);
      break;
    }
    case PDU_IT_STATUS: {
      T_PDU_STATUS status = 0;
      if (!Foreign<T_PDU_STATUS>::Read(static_cast<const T_PDU_STATUS*>(data), &status)) {
        record.Add("Status", NotReadable(data));
        break;
      }
      record.Add("Status", NameOr(StatusName(status), status));
      break;
    }
    case PDU_IT_ERROR: {
      PDU_ERROR_DATA e;
      if (!Foreign<PDU_ERROR_DATA>::Read(static_cast<const PDU_ERROR_DATA*>(data), &e)) {
        record.Add("Error", NotReadable(data));
        break;
      }
      record.Add("Error", NameOr(ErrorEventName(e.ErrorCodeId), e.ErrorCodeId) +
                              ", ExtraErrorInfoId " + Hex32(e.ExtraErrorInfoId));
      break;
    }
    case PDU_IT_INFO: {
      PDU_INFO_DATA i;
      if (!Foreign<PDU_INFO_DATA>::Read(static_cast<const PDU_INFO_DATA*>(data), &i)) {
        record.Add("Info", NotReadable(data));
        break;
      }
      record.Add("Info", NameOr(InfoName(i.InfoCode), i.InfoCode) + ", ExtraInfoData " +
                             Hex32(i.ExtraInfoData));
      break;
    }
    default:
      record.Add("Data", "at " + PointerText(data));
      break;
  }
}

std::string QuotedForeignText(const char* text, std::size_t limit) { return QuotedText(text, limit); }

}  // namespace monitor
