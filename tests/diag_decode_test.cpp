// The decoded conversation: byte strings as a technician reads them. One table
// of payloads (OBD-II, UDS, KWP2000, what does not parse) and one of frames in
// the order a log meets them (CAN ids, ISO 15765 frames, a multi-frame message
// reassembled at its last frame, the reassembly's bounds).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "log/diag_decode.h"
#include "log/log_format.h"
#include "simulator/vehicle/vehicle.h"

namespace varrow {
namespace {

using namespace monitor;

std::vector<std::uint8_t> Parse(const std::string& hex) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t at = 0; at + 1 < hex.size(); at += 3)
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(at, 2), nullptr, 16)));
  return bytes;
}

TEST(DiagDecode, PayloadsInWords) {
  struct Case {
    const char* bytes;
    const char* text;
  } cases[] = {
      {"01 0C", "OBD mode 01 (current data) request: Engine RPM"},
      {"41 0C 32 00", "OBD mode 01 (current data) response: Engine RPM = 3,200 rpm"},
      {"41 05 7B 0D 32 04 66", "OBD mode 01 (current data) response: Engine coolant temperature = 83 degC, "
                               "Vehicle speed = 50 km/h, Calculated engine load = 40 %"},
      {"41 06 80 0E 90 42 2E E0", "OBD mode 01 (current data) response: Short term fuel trim, bank 1 = 0 %, "
                                  "Timing advance = 8 deg before TDC, Control module voltage = 12 V"},
      {"41 00 BE 1F A8 13", "OBD mode 01 (current data) response: PIDs supported [01-20] = "
                            "01 03 04 05 06 07 0C 0D 0E 0F 10 11 13 15 1C 1F 20"},
      {"41 01 83 07 65 00", "OBD mode 01 (current data) response: Monitor status since DTCs cleared = MIL on, 3 DTC(s)"},
      {"41 3C 12 35 44 80 00 23 00 64 5E 01 F4",
       "OBD mode 01 (current data) response: Catalyst temperature, bank 1 sensor 1 = 426.1 degC, Commanded air-fuel "
       "equivalence ratio = 1, Fuel rail gauge pressure = 1,000 kPa, Engine fuel rate = 25 L/h"},
      {"41 0F 00 46 FF 5C 82", "OBD mode 01 (current data) response: Intake air temperature = -40 degC, "
                               "Ambient air temperature = 215 degC, Engine oil temperature = 90 degC"},
      {"41 5D 00 00 22 01 F4 2D 00 52 FF",
       "OBD mode 01 (current data) response: Fuel injection timing = -210 deg, Fuel rail pressure (relative to "
       "manifold vacuum) = 39.5 kPa, EGR error = -100 %, Ethanol fuel = 100 %"},
      {"41 0C 32", "OBD mode 01 (current data) response: Engine RPM: 32"},
      {"02 02 00", "OBD mode 02 (freeze frame data) request: DTC that caused the freeze frame (frame 0)"},
      {"42 02 00 01 33", "OBD mode 02 (freeze frame data) response: frame 0: DTC that caused the freeze frame = P0133"},
      {"43 02 01 33 C1 00", "OBD mode 03 (stored DTCs) response: 2 DTC(s): P0133 U0100"},
      {"4A 01 42 34", "OBD mode 0A (permanent DTCs) response: 1 DTC(s): C0234"},
      {"43 81 23 00 00", "OBD mode 03 (stored DTCs) response: 1 DTC(s): B0123"},
      {"44", "OBD mode 04 (clear DTCs) response"},
      {"09 02", "OBD mode 09 (vehicle information) request: VIN"},
      {"09 0B", "OBD mode 09 (vehicle information) request: in-use performance tracking (compression ignition)"},
      {"49 02 01 57 4F 56 52 41 30 30 53 49 4D 30 30 30 30 30 30 31",
       "OBD mode 09 (vehicle information) response: VIN = \"WOVRA00SIM0000001\""},
      {"49 04 01 43 41 4C 2D 31 32 33 34 00 00 00 00 00 00 00 00",
       "OBD mode 09 (vehicle information) response: CALID = \"CAL-1234\""},
      {"49 06 01 1A 2B 3C 4D", "OBD mode 09 (vehicle information) response: CVN = 1A2B3C4D"},
      {"7F 01 11", "OBD negative response to mode 01: service not supported (NRC 11)"},
      {"22 F1 90 F1 8C", "UDS ReadDataByIdentifier request: F190 VIN, F18C ECU serial number"},
      {"22 F1 8A F1 9C", "UDS ReadDataByIdentifier request: F18A system supplier identifier, F19C calibration equipment software number"},
      {"62 F1 8C 53 4E 31 32 33 00 00", "UDS ReadDataByIdentifier positive response: F18C ECU serial number = \"SN123\""},
      {"62 F1 87 30 31 02", "UDS ReadDataByIdentifier positive response: F187 spare part number = 30 31 02"},
      {"62 F1 95 56 31 2E 32", "UDS ReadDataByIdentifier positive response: F195 supplier ECU software version = \"V1.2\""},
      {"62 F4 0C 32 00", "UDS ReadDataByIdentifier positive response: F40C Engine RPM = 3,200 rpm"},
      {"62 12 34 AA", "UDS ReadDataByIdentifier positive response: 1234 = AA"},
      {"7F 22 31", "UDS negative response to ReadDataByIdentifier: request out of range (NRC 31)"},
      {"7F 22 78", "UDS response pending for ReadDataByIdentifier (NRC 78)"},
      {"7F 27 34", "UDS negative response to SecurityAccess: authentication required (NRC 34)"},
      {"7F 31 94", "UDS negative response to RoutineControl: resource temporarily not available (NRC 94)"},
      {"7F 29 5B", "UDS negative response to Authentication: session key creation/derivation failed (NRC 5B)"},
      {"7F 84 38", "UDS negative response to SecuredDataTransmission: secure data transmission required (NRC 38)"},
      {"62 F1 9E 61 2E 6F 64 78", "UDS ReadDataByIdentifier positive response: F19E ODX file = \"a.odx\""},
      {"28 05 01", "UDS CommunicationControl request: enableRxAndTxWithEnhancedAddressInformation: 01"},
      {"2C 03 F3 00", "UDS DynamicallyDefineDataIdentifier request: clearDynamicallyDefinedDataIdentifier: F3 00"},
      {"7F 31 99", "UDS negative response to RoutineControl: unknown code (NRC 99)"},
      {"10 83", "UDS DiagnosticSessionControl request: extendedDiagnosticSession, no positive response wanted"},
      {"50 03 00 32 01 F4", "UDS DiagnosticSessionControl positive response: extendedDiagnosticSession: 00 32 01 F4"},
      {"27 03", "UDS SecurityAccess request: requestSeed level 2"},
      {"67 04", "UDS SecurityAccess positive response: sendKey level 2"},
      {"3E 80", "UDS TesterPresent request: zeroSubFunction, no positive response wanted"},
      {"19 06 01 33 00 FF", "UDS ReadDTCInformation request: reportDTCExtendedDataRecordByDTCNumber: 01 33 00 FF"},
      {"19 14", "UDS ReadDTCInformation request: reportDTCFaultDetectionCounter"},
      {"14 FF FF FF", "UDS ClearDiagnosticInformation request: all groups"},
      {"31 01 FF 00 01", "UDS RoutineControl request: startRoutine routine FF00: 01"},
      {"36 02 AA BB", "UDS TransferData request: block 2, 2 bytes"},
      {"59 02 FF 01 33 00 2F", "UDS ReadDTCInformation positive response: status mask FF, 1 DTC(s): P0133-00 (status 2F)"},
      {"2E F1 98 41 42", "UDS WriteDataByIdentifier request: F198 repair shop code / tester serial number = \"AB\""},
      {"1A 90", "KWP2000 ReadECUIdentification request: 90"},
      {"26 01", "KWP2000 SetDataRates request: 01"},
      {"39 01", "KWP2000 StopRoutineByAddress request: 01"},
      {"81", "KWP2000 StartCommunication request"},
      {"7F 1A 12", "KWP2000 negative response to ReadECUIdentification: sub-function not supported (NRC 12)"},
      {"A5 01", "unknown service A5: A5 01"},
      {"7F 22", "negative response: 7F 22"},
      {"", "no data"},
  };
  for (const Case& c : cases) {
    const std::vector<std::uint8_t> bytes = Parse(c.bytes);
    ServiceMarks marks;
    EXPECT_EQ(ServiceText(bytes.data(), bytes.size(), &marks), c.text) << c.bytes;
  }
}

TEST(DiagDecode, FramesInLogOrder) {
  struct Case {
    FrameKind kind;
    std::uint32_t channel;
    bool extendedId, echo;
    const char* bytes;
    const char* text;
  } cases[] = {
      // Whole ISO 15765 messages behind their CAN id.
      {FrameKind::Iso15765, 1, false, false, "00 00 07 E8 7F 22 31",
       "7E8 response from ECU 1: UDS negative response to ReadDataByIdentifier: request out of range (NRC 31)"},
      {FrameKind::Iso15765, 1, false, false, "00 00 07 DF 01 0C", "7DF functional request: OBD mode 01 (current data) request: Engine RPM"},
      {FrameKind::Iso15765, 1, true, false, "18 DB 33 F1 09 02", "18DB33F1 functional request: OBD mode 09 (vehicle information) request: VIN"},
      {FrameKind::Iso15765, 1, true, false, "18 DA 10 F1 22 F1 90", "18DA10F1 request to ECU 10: UDS ReadDataByIdentifier request: F190 VIN"},
      {FrameKind::Iso15765, 1, true, false, "18 DA F1 10 7F 22 78", "18DAF110 response from ECU 10: UDS response pending for ReadDataByIdentifier (NRC 78)"},
      {FrameKind::Iso15765, 1, false, false, "00 00 01 23 3E 00", "123: UDS TesterPresent request: zeroSubFunction"},
      {FrameKind::Iso15765, 1, false, false, "00 07", "CAN id cut: 00 07"},
      // Raw CAN: a VIN in three frames, with the tester's flow control between.
      {FrameKind::Can, 2, false, false, "00 00 07 DF 02 09 02 00 00 00 00 00",
       "7DF functional request: single frame: OBD mode 09 (vehicle information) request: VIN"},
      {FrameKind::Can, 2, false, false, "00 00 07 E8 10 14 49 02 01 57 4F 56",
       "7E8 response from ECU 1: first frame of 20 bytes: 49 02 01 57 4F 56"},
      {FrameKind::Can, 2, false, false, "00 00 07 E0 30 00 F3 00 00 00 00 00",
       "7E0 request to ECU 1: flow control: continue to send, block size 0, STmin 300 us"},
      {FrameKind::Can, 2, false, true, "00 00 07 E8 21 52 41 30 30 53 49 4D",
       "7E8 response from ECU 1 (echo of a sent frame): consecutive frame 1: 52 41 30 30 53 49 4D"},
      {FrameKind::Can, 2, false, false, "00 00 07 E8 21 52 41 30 30 53 49 4D",
       "7E8 response from ECU 1: consecutive frame 1 (13 of 20 bytes)"},
      {FrameKind::Can, 2, false, false, "00 00 07 E8 22 30 30 30 30 30 30 31",
       "7E8 response from ECU 1: consecutive frame 2, last of 20 bytes: OBD mode 09 (vehicle information) "
       "response: VIN = \"WOVRA00SIM0000001\""},
      // The message is complete: another frame has nothing to join.
      {FrameKind::Can, 2, false, false, "00 00 07 E8 23 30", "7E8 response from ECU 1: consecutive frame 3 (no first frame logged): 30"},
      // A frame out of sequence ends the message; the same id on another channel is another message.
      {FrameKind::Can, 2, false, false, "00 00 07 E8 10 0A 62 F1 90 57 4F 56", "7E8 response from ECU 1: first frame of 10 bytes: 62 F1 90 57 4F 56"},
      {FrameKind::Can, 3, false, false, "00 00 07 E8 21 41 42 43 44", "7E8 response from ECU 1: consecutive frame 1 (no first frame logged): 41 42 43 44"},
      {FrameKind::Can, 2, false, false, "00 00 07 E8 22 41 42 43 44",
       "7E8 response from ECU 1: consecutive frame 2 out of sequence (expected 1): message dropped"},
      {FrameKind::Can, 2, false, false, "00 00 07 E8 21 41 42 43 44", "7E8 response from ECU 1: consecutive frame 1 (no first frame logged): 41 42 43 44"},
      {FrameKind::Can, 2, false, false, "00 00 07 E8 03 7F 22 78 AA AA AA AA",
       "7E8 response from ECU 1: single frame: UDS response pending for ReadDataByIdentifier (NRC 78)"},
      {FrameKind::Can, 2, false, false, "00 00 07 E8 07 62", "7E8 response from ECU 1: single frame, length 7: 07 62"},
      {FrameKind::Can, 2, false, false, "00 00 07 E8 10 00 00 01 00 00 22", "7E8 response from ECU 1: first frame of 65536 bytes: 22"},
      {FrameKind::Can, 2, false, false, "00 00 07 E8 21 22", "7E8 response from ECU 1: consecutive frame 1 (no first frame logged): 22"},
      {FrameKind::Can, 2, false, false, "00 00 07 E8 45 01", "7E8 response from ECU 1: not an ISO 15765-2 frame: 45 01"},
      {FrameKind::Payload, 9, false, false, "7F 10 22", "UDS negative response to DiagnosticSessionControl: conditions not correct (NRC 22)"},
  };
  ConversationDecoder decoder;
  for (const Case& c : cases) {
    DiagFrame frame;
    frame.kind = c.kind;
    frame.channel = c.channel;
    frame.extendedId = c.extendedId;
    frame.echo = c.echo;
    frame.bytes = Parse(c.bytes);
    Conversation conversation;
    EXPECT_EQ(decoder.FrameText(frame, &conversation), c.text) << c.bytes;
  }
}

// What an entry carries for the logs' filters, and the bound on messages being reassembled.
TEST(DiagDecode, EntriesMarkedAndStreamsBounded) {
  LogEntry entry;
  for (const char* bytes : {"00 00 07 E8 7F 22 31", "00 00 07 E9 7F 22 78", "00 00 07 E8 7F 2E 31", "00 00 07 E8 62 F1 90"}) {
    DiagFrame frame;
    frame.kind = FrameKind::Iso15765;
    frame.label = "Msg";
    frame.bytes = Parse(bytes);
    entry.frames.push_back(frame);
  }
  entry.frames.back().total = 24;  // the message size cut the VIN: the line must say so
  ConversationDecoder decoder;
  decoder.Decode(&entry);
  EXPECT_EQ(entry.conversation.ecu, "ECU 1;ECU 2");
  EXPECT_EQ(entry.conversation.nrcs, "31 78");
  EXPECT_TRUE(entry.conversation.negative);
  EXPECT_TRUE(entry.conversation.pending);
  EXPECT_EQ(entry.conversation.text.substr(0, 29), "Msg: 7E8 response from ECU 1:");
  EXPECT_EQ(std::count(entry.conversation.text.begin(), entry.conversation.text.end(), '\n'), 3);
  EXPECT_EQ(entry.conversation.text.substr(entry.conversation.text.rfind('\n') + 1),
            "Msg: 7E8 response from ECU 1: UDS ReadDataByIdentifier positive response: F190 VIN [cut: 7 of 24 bytes logged]");

  // More first frames than streams kept: the longest unused is forgotten, the others complete.
  const std::size_t ids = ConversationDecoder::kMaxStreams + 1;
  auto frame = [](std::uint32_t id, const char* data) {
    DiagFrame f;
    f.kind = FrameKind::Can;
    f.bytes = {0, 0, static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id)};
    for (std::uint8_t b : Parse(data)) f.bytes.push_back(b);
    return f;
  };
  for (std::uint32_t i = 0; i < ids; ++i) decoder.FrameText(frame(0x100 + i, "10 08 22 F1 90 F1 8C F1"), nullptr);
  EXPECT_NE(decoder.FrameText(frame(0x100, "21 87 00"), nullptr).find("no first frame logged"), std::string::npos);
  for (std::uint32_t i = 1; i < ids; ++i) {
    EXPECT_NE(decoder.FrameText(frame(0x100 + i, "21 87 00"), nullptr).find("last of 8 bytes: UDS ReadDataByIdentifier"),
              std::string::npos) << i;
  }
}

// Every negative response the simulated vehicle can send reads as its own
// name: the vehicle's list says what each code is about, and no two codes
// share a name.
TEST(DiagDecode, EveryNegativeResponseOfTheVehicleHasItsOwnName) {
  std::vector<std::string> names;
  for (const simulator::nrc::Sent& sent : simulator::nrc::kSent) {
    SCOPED_TRACE(testing::Message() << "0x" << std::hex << int{sent.code});
    const std::string name = NrcName(sent.code);
    EXPECT_NE(name.find(sent.word), std::string::npos) << name;
    EXPECT_EQ(std::count(names.begin(), names.end(), name), 0) << name;
    names.push_back(name);
  }
}

}  // namespace
}  // namespace varrow
