#pragma once

// The stand-in store keeps each registry value in a file of its own: a fixed header, then the value's bytes
// exactly as they were written (any type code, any length, no terminator added or removed).
//
//   offset 0   4 bytes  magic "REGV"
//   offset 4   4 bytes  type code, little-endian
//   offset 8   4 bytes  data size in bytes, little-endian
//   offset 12  size bytes of data
//
// A file whose magic is wrong or whose length disagrees with its header is not a value: it was not written by
// the store (files only ever appear complete, by rename) and reads as a corrupt registry. So is one that
// announces more than kMaxValueSize bytes, or anything that is not a plain file.

#include <array>
#include <cstdint>
#include <optional>

#include "platform/registry.h"

namespace platform::standin {

constexpr std::size_t kValueHeaderSize = 12;

// The most data a value may hold: far above anything real (the program stores a dozen bytes, the registry's
// own old format took 1 MB per value) and yet a bound, since whoever reads a value sizes a buffer from the
// size the store reports; without one, a file announcing 4 GiB costs 4 GiB.
constexpr std::uint32_t kMaxValueSize = 64 * 1024 * 1024;
using ValueHeaderBytes = std::array<unsigned char, kValueHeaderSize>;

struct ValueHeader {
    std::uint32_t type = 0;
    std::uint32_t size = 0;
};

ValueHeaderBytes EncodeValueHeader(ValueHeader header);

// `fileSize` is the length of the whole file; it must be exactly the header plus the data it announces.
std::optional<ValueHeader> DecodeValueHeader(const ValueHeaderBytes& bytes, std::uint64_t fileSize);

// Reads and checks the header of the open value file `file`; the data follows at kValueHeaderSize.
RegistryStatus ReadValueHeader(int file, ValueHeader& header);

}  // namespace platform::standin
