// VciCheck's J2534 sessions (04.04 and 05.00): the library's entry points
// bound by name, and the numbered steps printed with their results.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

#include "passthru/j2534.h"

namespace vcicheck {

// Binds the export `name` of `module` to `fn`; names it when it is missing.
template <typename Fn>
bool Bind(HMODULE module, const char* name, Fn& fn) {
  fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  if (fn == nullptr) std::printf("  the library does not export %s\n", name);
  return fn != nullptr;
}

// Prints each step with its result, the library's error text on a failure
// (PassThruGetLastError has the same form in both versions); counts the
// failures. `codeName` names a return code in the session's version.
class Steps {
 public:
  Steps(passthru::PassThruGetLastErrorFn lastError, std::string (*codeName)(passthru::Long))
      : lastError_(lastError), codeName_(codeName) {}
  bool Step(const char* what, passthru::Long code, const std::string& detail = "") {
    std::printf("%2d. %-34s %s", ++step_, what, codeName_(code).c_str());
    if (code == passthru::STATUS_NOERROR) {
      if (!detail.empty()) std::printf("  %s", detail.c_str());
    } else {
      ++failures_;
      char text[passthru::kTextChars + 1] = {};
      if (lastError_(text) == passthru::STATUS_NOERROR) {
        text[passthru::kTextChars] = '\0';
        std::printf("  (%s)", text);
      }
    }
    std::printf("\n");
    std::fflush(stdout);
    return code == passthru::STATUS_NOERROR;
  }
  // A step that fails without a J2534 code of its own.
  void Problem(const char* what, const std::string& why) {
    ++failures_;
    std::printf("%2d. %-34s FAILED  %s\n", ++step_, what, why.c_str());
    std::fflush(stdout);
  }
  int failures() const { return failures_; }

 private:
  passthru::PassThruGetLastErrorFn lastError_;
  std::string (*codeName_)(passthru::Long);
  int step_ = 0;
  int failures_ = 0;
};

}  // namespace vcicheck
