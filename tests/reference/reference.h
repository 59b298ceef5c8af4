// The reference rendering core and the differential driver that runs the
// library and the reference side by side on the same host calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pelrin_ref {

// The reference's entry points for the calls that run the sound unit; they
// act on pelrin::apu like the library's exports.
uint32_t RunToCycle(uint32_t cycle);
uint32_t RegWrite(uint32_t address, uint32_t value, uint32_t cycle);
uint32_t RegRead(uint32_t address, uint8_t *data, uint32_t cycle);
uint32_t FindNextIRQ(void);

// Decodes `bytes` into a sequence of host calls (format, environment,
// options, chips, register accesses, runs, buffer handling) and makes each
// call on the library and on the reference, each with its own state and
// output buffer. Returns true when every return value and every output byte
// agree; otherwise false, with the first difference described in *why.
// Leaves pelrin::apu in an unspecified state.
bool SameOutput(const uint8_t *bytes, size_t size, std::string *why = nullptr);

// SameOutput on `length` pseudo-random bytes made from `seed`.
bool SameOutputForSeed(uint64_t seed, size_t length, std::string *why = nullptr);

}  // namespace pelrin_ref
