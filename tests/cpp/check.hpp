// Minimal check framework for the header-only numeric code: no dependencies.
// A failed check prints file:line and the values, and the run goes on so one
// pass reports every failure; kcheck::finish() makes main's exit code.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>

namespace kcheck {

inline int checks = 0;
inline int failures = 0;

inline std::uint64_t bits_of(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

inline double from_bits(std::uint64_t b) {
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

inline void fail_header(const char* file, int line) {
    ++failures;
    std::cerr << file << ":" << line << ": FAILED: ";
}

template <class A, class B>
void check_eq(const A& a, const B& b, const char* ea, const char* eb, const char* file, int line) {
    ++checks;
    if (a == b) return;
    fail_header(file, line);
    std::ostringstream os;
    os.precision(17);
    os << ea << " == " << eb << " (" << a << " vs " << b << ")";
    std::cerr << os.str() << "\n";
}

inline void check_bits(double a, std::uint64_t want, const char* ea, const char* file, int line) {
    ++checks;
    const std::uint64_t got = bits_of(a);
    if (got == want) return;
    fail_header(file, line);
    std::fprintf(stderr, "bits of %s: got 0x%016llX (%.17g), want 0x%016llX (%.17g)\n", ea,
                 static_cast<unsigned long long>(got), a, static_cast<unsigned long long>(want),
                 from_bits(want));
}

inline void run(void (*fn)(), const char* name) {
    const int before = failures;
    fn();
    if (failures != before) std::cerr << "  in " << name << "\n";
}

inline int finish() {
    std::printf("%d passed, %d failed\n", checks - failures, failures);
    return failures == 0 ? 0 : 1;
}

}  // namespace kcheck

#define CHECK(cond)                                                            \
    do {                                                                       \
        ++kcheck::checks;                                                      \
        if (!(cond)) {                                                         \
            kcheck::fail_header(__FILE__, __LINE__);                           \
            std::cerr << #cond << "\n";                                        \
        }                                                                      \
    } while (0)

#define CHECK_EQ(a, b) kcheck::check_eq((a), (b), #a, #b, __FILE__, __LINE__)

// Doubles compared by bit pattern: tells 0.0 from -0.0 and the last place.
#define CHECK_BITS(x, want_bits) kcheck::check_bits((x), (want_bits), #x, __FILE__, __LINE__)

#define RUN(fn) kcheck::run(fn, #fn)
