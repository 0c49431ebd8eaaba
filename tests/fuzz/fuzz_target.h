#pragma once
// A fuzz target: one function of untrusted bytes that checks what holds for whatever it
// parses, not only that nothing crashes. Built by scripts/fuzz with clang's libFuzzer and
// sanitizers, each target is a program of its own; in the ordinary build the targets are
// registered by name, and the inputs kept under tests/fuzz/regressions/<name>/ run
// through them as tests, so a finding once mended stays mended.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace fuzz {

using Target = void (*)(const uint8_t* data, size_t size);

// A broken invariant: the fuzzer stops on it with the input, a regression test fails.
[[noreturn]] void fail(const char* file, int line, const char* what);
bool registerTarget(const char* name, Target target);
const std::map<std::string, Target>& targets();

}  // namespace fuzz

#define FUZZ_EXPECT(condition) ((condition) ? void(0) : fuzz::fail(__FILE__, __LINE__, #condition))

#ifdef VRN_LIBFUZZER
#define FUZZ_TARGET(name)                                                      \
    static void name##Target(const uint8_t* data, size_t size);               \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)   \
    {                                                                          \
        name##Target(data, size);                                              \
        return 0;                                                              \
    }                                                                          \
    static void name##Target(const uint8_t* data, size_t size)
#else
#define FUZZ_TARGET(name)                                                      \
    static void name##Target(const uint8_t* data, size_t size);               \
    [[maybe_unused]] static const bool name##Registered = fuzz::registerTarget(#name, name##Target); \
    static void name##Target(const uint8_t* data, size_t size)
#endif
