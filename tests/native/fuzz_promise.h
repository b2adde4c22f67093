// What every native fuzz target checks with: a rule that breaks one of its
// promises aborts with the rule and the promise named, so that the fuzzer
// keeps the input that did it.
#pragma once

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void Broken(const char* rule, const char* promise) {
  std::fprintf(stderr, "rule %s broke its promise: %s\n", rule, promise);
  std::abort();
}
#define PROMISE(rule, condition) \
  do {                           \
    if (!(condition)) Broken(rule, #condition); \
  } while (0)
