// A stand-in J2534 library for the monitor's tests and benchmarks: it records
// what each call received and answers with chosen codes and fixed outputs, so
// that a test can see that the monitor passes everything through untouched.
// FakePassThruState() (exported) gives the state of the loaded copy.
// FakePassThru.dll speaks 04.04, FakePassThru05.dll (fake_passthru_v05.cpp) 05.00.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "passthru/j2534.h"

namespace fake {

inline constexpr passthru::ULong kDeviceId = 0x11;
inline constexpr passthru::ULong kChannelId = 0x22;
inline constexpr passthru::ULong kPeriodicId = 0x33;
inline constexpr passthru::ULong kFilterId = 0x44;
inline constexpr passthru::ULong kBatteryMillivolts = 12345;
inline constexpr char kLastError[] = "fake: last error text";
// 05.00: the logical channel, the one device found and its name.
inline constexpr passthru::ULong kLogicalChannelId = 0x55;
inline constexpr char kDeviceName[] = "Fake VCI 05";

struct State {
  // Set by the test: the code every call returns (-1: its normal answer);
  // ReadMsgs and WriteMsgs then look at none of their pointers.
  passthru::Long forcedResult = -1;
  // ReadMsgs: messages available, and the DataSize of each (bytes i & 0xFF);
  // in 05.00 the DataLength, of which a smaller buffer gets its DataBufferSize
  // bytes (and the read ERR_BUFFER_TOO_SMALL).
  passthru::ULong readAvailable = 1;
  passthru::ULong readDataSize = 8;
  // Set by the test: the stack its unload uses (as vendor code with large
  // buffers on the stack does in its detach), in bytes. The unload then also
  // puts the stack reserved for the thread it runs on, in bytes, into the
  // environment variable FAKE_PASSTHRU_DETACH_STACK.
  std::uint32_t detachStackBytes = 0;
  // Recorded by every call.
  std::uint32_t calls = 0;
  const char* lastFunction = "";
  passthru::ULong args[6] = {};
  const void* pointers[6] = {};
};

using StateFn = State*(__stdcall*)();

// What every call of a stand-in does first: counts itself, keeps its name,
// numbers and pointers in `state`, and answers the forced code or `normal`.
inline passthru::Long Record(State& state, const char* function, std::initializer_list<passthru::ULong> args,
                             std::initializer_list<const void*> pointers, passthru::Long normal) {
  ++state.calls;
  state.lastFunction = function;
  int i = 0;
  for (passthru::ULong a : args) state.args[i++] = a;
  i = 0;
  for (const void* p : pointers) state.pointers[i++] = p;
  return state.forcedResult >= 0 ? state.forcedResult : normal;
}

// `text` into an 80-character buffer of the caller's (none when null).
inline void Text(char* out, const char* text) {
  if (out != nullptr) std::strncpy(out, text, passthru::kTextChars - 1), out[passthru::kTextChars - 1] = '\0';
}

}  // namespace fake
