// Benchmark of the D-PDU monitor library: the same session on the simulated
// D-PDU VCI without the monitor and through it (full logging: XML, entry and
// exit, whole payloads, every call), side by side in one run, alternating (and alternating which goes first).
//
//   pdu_bench.exe [rounds [light]]   (default 2000; light: ASCII, one entry per call)
//
// Measures: the time of PDUStartComPrimitive (send-receive of 09 02), of
// taking an event (PDUGetEventItem + PDUDestroyItem), and the gap between
// consecutive event callbacks in a burst of events (what forwarding an event
// through the interposed callback adds). Also counts the callbacks, their
// order and their thread.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "pdu/dpdu.h"
#include "tests/pdu/pdu_client.h"
#include "tests/test_support.h"
#include "hosted/arch.h"

using namespace pdu;
using namespace pdutest;

namespace {

double Micros(LONGLONG ticks) {
  static const double perTick = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return 1e6 / static_cast<double>(f.QuadPart);
  }();
  return static_cast<double>(ticks) * perTick;
}

LONGLONG Now() {
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return t.QuadPart;
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(p * (values.size() - 1) + 0.5))];
}

void Row(const char* what, const std::vector<double>& direct, const std::vector<double>& monitored) {
  const double dm = Percentile(direct, 0.5), dp = Percentile(direct, 0.99);
  const double mm = Percentile(monitored, 0.5), mp = Percentile(monitored, 0.99);
  std::printf("| %s | %.2f / %.2f | %.2f / %.2f | %.2f | %.2f | %s |\n", what, dm, dp, mm, mp, mm - dm,
              mp - dp, mm - dm <= 5 && mp - dp <= 20 ? "met" : "NOT met");
}

// The callback of the burst measure: a timestamp per event, and its thread.
std::vector<LONGLONG> g_stamps;
DWORD g_thread = 0;
void PDU_CALL Stamp(T_PDU_EVT_DATA, UNUM32, UNUM32, void*, void*) {
  g_stamps.push_back(Now());
  g_thread = GetCurrentThreadId();
}

struct Session {
  PduLib lib;
  UNUM32 hCLL = PDU_HANDLE_UNDEF;
  bool Open(const std::wstring& path) {
    std::vector<std::string> transcript;
    if (!lib.Load(path)) return false;
    hCLL = OpenLink(lib, transcript);
    return hCLL != PDU_HANDLE_UNDEF;
  }
  // Takes and frees every queued event; returns how many.
  int Drain() {
    int n = 0;
    PDU_EVENT_ITEM* item = nullptr;
    while (lib.GetEventItem(1, hCLL, &item) == PDU_STATUS_NOERROR) {
      lib.DestroyItem(reinterpret_cast<PDU_ITEM*>(item));
      ++n;
    }
    return n;
  }
  // Waits until ComPrimitive hCoP has finished.
  void WaitFinished(UNUM32 hCoP) {
    T_PDU_STATUS status = 0;
    UNUM32 timestamp = 0, extra = 0;
    for (int i = 0; i < 100000; ++i) {
      if (lib.GetStatus(1, hCLL, hCoP, &status, &timestamp, &extra) != PDU_STATUS_NOERROR ||
          status == PDU_COPST_FINISHED)
        return;
      Sleep(0);
    }
  }
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const int rounds = argc >= 2 ? std::max(100, _wtoi(argv[1])) : 2000;
  varrow::test::ScratchRegistry registry;
  varrow::test::ScratchDir dir;
  RegOverridePredefKey(HKEY_LOCAL_MACHINE, registry.Machine());
  RegOverridePredefKey(HKEY_CURRENT_USER, registry.User());
  const std::wstring monitorPath = dir / L"Mon.dll";
  if (!CopyBuilt(L"OvraSimPdu" VARROW_BITS_TEXT L".dll", dir.Path(), L"Sim.dll") ||
      !CopyBuilt(L"OvraSimPdu" VARROW_BITS_TEXT L".dll", dir.Path(), L"_Mon.dll") ||
      !CopyBuilt(L"OvraPduMon" VARROW_BITS_TEXT L".dll", dir.Path(), L"Mon.dll")) {
    std::printf("pdu benchmark: the libraries are not built\n");
    return 0;
  }
  std::wstring key = L"SOFTWARE\\OVRA\\OVRA_VCI\\Monitoring\\PDU API\\" + monitorPath;
  for (std::size_t i = key.find(L"PDU API\\") + 8; i < key.size(); ++i)
    if (key[i] == L'\\') key[i] = L'_';
  // "light": one ASCII entry per call instead of XML with entry and exit.
  const bool light = argc >= 3 && std::wstring(argv[2]) == L"light";
  const std::wstring log = dir / (light ? L"light.txt" : L"full.xml");
  varrow::test::SetString(registry.User(), key, L"OutputFile", log);
  const struct { const wchar_t* name; DWORD value; } values[] = {
      {L"OutputFormat", light ? 1u : 2u}, {L"Overwrite", 1}, {L"LogEntryExit", light ? 0u : 1u}, {L"LogDebugView", 0},
      {L"DisableErrBufferEmpty", 0}, {L"MessageSize", 0}, {L"StoreWithPrimaryAPI", 0}, {L"Version", 1}};
  for (const auto& v : values) varrow::test::SetDword(registry.User(), key, v.name, v.value);

  Session direct, monitored;
  if (!direct.Open(dir / L"Sim.dll") || !monitored.Open(monitorPath)) {
    std::printf("pdu benchmark: the session does not open\n");
    return 0;
  }
  std::printf("\n| Measure (%d rounds) | direct median / p99 (us) | monitored median / p99 (us) | added median (us) | added p99 (us) | target (median <= 5, p99 <= 20) |\n|---|---|---|---|---|---|\n", rounds);

  // ComPrimitives: PDUStartComPrimitive of a send-receive, alternating.
  std::vector<double> startDirect, startMonitored, takeDirect, takeMonitored;
  UNUM8 request[] = {0x09, 0x02};
  PDU_COP_CTRL_DATA ctrl{};
  ctrl.NumSendCycles = 1;
  ctrl.NumReceiveCycles = 1;
  for (int i = 0; i < rounds; ++i) {
    // Which goes first alternates: the second finds the machine as the first left it.
    Session* const order[2] = {i % 2 ? &monitored : &direct, i % 2 ? &direct : &monitored};
    for (Session* s : order) {
      UNUM32 hCoP = 0;
      const LONGLONG a = Now();
      s->lib.StartComPrimitive(1, s->hCLL, PDU_COPT_SENDRECV, 2, request, &ctrl, nullptr, &hCoP);
      const LONGLONG b = Now();
      (s == &direct ? startDirect : startMonitored).push_back(Micros(b - a));
      s->WaitFinished(hCoP);
      // Taking each of its events (executing, result, finished).
      for (;;) {
        PDU_EVENT_ITEM* item = nullptr;
        const LONGLONG c = Now();
        const T_PDU_ERROR rc = s->lib.GetEventItem(1, s->hCLL, &item);
        if (rc != PDU_STATUS_NOERROR) break;
        s->lib.DestroyItem(reinterpret_cast<PDU_ITEM*>(item));
        (s == &direct ? takeDirect : takeMonitored).push_back(Micros(Now() - c));
      }
    }
  }
  Row("PDUStartComPrimitive (SENDRECV 09 02)", startDirect, startMonitored);
  Row("an event taken (PDUGetEventItem + PDUDestroyItem)", takeDirect, takeMonitored);

  // Event callbacks: bursts of 100 ComPrimitives (200 events) delivered by the
  // library's thread; the gap between consecutive callbacks.
  std::vector<double> gapDirect, gapMonitored;
  int callbacksDirect = 0, callbacksMonitored = 0;
  bool otherThread = true;
  for (Session* s : {&direct, &monitored}) s->lib.RegisterEventCallback(1, s->hCLL, &Stamp);
  const int bursts = std::max(5, rounds / 100);
  for (int burst = 0; burst < bursts; ++burst) {
    Session* const order[2] = {burst % 2 ? &monitored : &direct, burst % 2 ? &direct : &monitored};
    for (Session* s : order) {
      g_stamps.clear();
      g_stamps.reserve(512);
      UNUM32 hCoP = 0;
      for (int i = 0; i < 100; ++i)
        s->lib.StartComPrimitive(1, s->hCLL, PDU_COPT_UPDATEPARAM, 0, nullptr, nullptr, nullptr, &hCoP);
      s->WaitFinished(hCoP);
      Sleep(20);  // the last callbacks
      std::vector<double>& gaps = s == &direct ? gapDirect : gapMonitored;
      for (std::size_t i = 1; i < g_stamps.size(); ++i) gaps.push_back(Micros(g_stamps[i] - g_stamps[i - 1]));
      (s == &direct ? callbacksDirect : callbacksMonitored) += static_cast<int>(g_stamps.size());
      otherThread = otherThread && g_thread != GetCurrentThreadId();
      s->Drain();
    }
  }
  Row("an event forwarded to the callback (gap in a burst)", gapDirect, gapMonitored);
  std::printf("\nCallbacks: %d without the monitor, %d through it (%d expected each); on the library's thread: %s.\n",
              callbacksDirect, callbacksMonitored, bursts * 200, otherThread ? "yes" : "NO");
  for (Session* s : {&direct, &monitored}) {
    std::vector<std::string> transcript;
    s->lib.RegisterEventCallback(1, s->hCLL, nullptr);
    CloseLink(s->lib, s->hCLL, transcript);
  }
  std::string text;
  varrow::test::ReadFileText(log, &text);
  std::printf("The monitored session's XML log: %zu bytes, %zu EventCallback entries.\n", text.size(),
              [&] {
                std::size_t n = 0;
                for (std::size_t at = text.find("\"EventCallback\""); at != std::string::npos;
                     at = text.find("\"EventCallback\"", at + 1))
                  ++n;
                return n;
              }());
  RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
  RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
  return 0;
}
